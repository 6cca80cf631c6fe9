"""One large segment on one machine: build, peak memory, open, search.

    python bench/bench_scale.py [--rows 10000000] [--dim 128] [--n-bits 2]

Builds a segment of `--rows` rows (default 10,000,000, 128 dimensions) from
a Gaussian mixture like bench.py's, then reports:

- build seconds on all cores, and the build child's peak resident memory
  beside what it held before the call (the input vectors, read from disk
  straight into one bytes object, plus the id list). The build must not hold
  the input floats a second time: peak minus before stays below their size;
- open seconds: a fresh process opening the built segment;
- single-thread queries per second and recall@10 over nprobe 1, 2, 4, …,
  against an exact search of held-out queries from the same mixture (done
  in chunks over a memory map of the input file, so it too never holds the
  input twice); the summary gives the first nprobe reaching recall 0.95.

The input is written once to bench/.cache/scale-<rows>x<dim>.f32 (about
5 GB at the default size) and reused; so is the exact answer. Each step runs
in its own child process. Results: stdout and
bench/.cache/results-scale-<rows>.json.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
CACHE_DIR = BENCH_DIR / ".cache"
K = 10
RECALL_TARGET = 0.95
RERANK = 200
NPROBES = (1, 2, 4, 8, 16, 32, 64, 128, 256)
N_QUERIES = 500
SEED = 20261207
CHUNK = 200_000


def memory_kb(field):
    """A field of /proc/self/status in kB (VmRSS, VmHWM)."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


# ------------------------------------------------------------------ data

class Mixture:
    """Overlapping, unevenly sized Gaussian components with a falling
    spectrum under a random rotation, drawn a chunk at a time."""

    def __init__(self, dim, n_components=1000, seed=SEED):
        rng = np.random.default_rng(seed)
        self.spectrum = np.linspace(1.0, 0.25, dim)
        self.centers = rng.standard_normal((n_components, dim)) * self.spectrum * 0.6
        self.weights = rng.dirichlet(np.full(n_components, 2.0))
        self.spreads = rng.uniform(0.5, 1.0, n_components)
        self.rotation, _ = np.linalg.qr(rng.standard_normal((dim, dim)))

    def draw(self, n, seed):
        rng = np.random.default_rng(seed)
        c = rng.choice(len(self.centers), size=n, p=self.weights)
        x = self.centers[c] + rng.standard_normal((n, len(self.spectrum))) * self.spectrum * self.spreads[c, None]
        return (x @ self.rotation).astype(np.float32)


def write_input(path, rows, dim):
    if path.exists() and path.stat().st_size == rows * dim * 4:
        return
    mixture = Mixture(dim)
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb") as f:
        for i, start in enumerate(range(0, rows, CHUNK)):
            mixture.draw(min(CHUNK, rows - start), SEED + 1 + i).tofile(f)
    tmp.rename(path)


def exact_top_k(path, rows, dim, queries):
    """Exact top K ids of each query, a chunk of the memory-mapped input at a time."""
    base = np.memmap(path, dtype=np.float32, mode="r", shape=(rows, dim))
    q_norms = (queries.astype(np.float64) ** 2).sum(1)
    best_d = np.full((len(queries), K), np.inf)
    best_i = np.zeros((len(queries), K), dtype=np.int64)
    for start in range(0, rows, 1_000_000):
        chunk = np.asarray(base[start:start + 1_000_000], dtype=np.float64)
        d = q_norms[:, None] - 2.0 * queries.astype(np.float64) @ chunk.T + (chunk ** 2).sum(1)[None, :]
        top = np.argpartition(d, K - 1, axis=1)[:, :K]
        cand_d = np.concatenate([best_d, np.take_along_axis(d, top, 1)], 1)
        cand_i = np.concatenate([best_i, top + start], 1)
        order = np.argsort(cand_d, axis=1, kind="stable")[:, :K]
        best_d, best_i = np.take_along_axis(cand_d, order, 1), np.take_along_axis(cand_i, order, 1)
    return best_i


# ------------------------------------------------------------------ children

def child_build(args):
    import nimbrel
    vectors = Path(args.input).read_bytes()  # one copy of the input floats
    n = len(vectors) // (4 * args.dim)
    ids = [str(i) for i in range(n)]
    metadatas = ["null"] * n
    before_kb = memory_kb("VmRSS")
    handle = nimbrel.ZevireDarir(args.index_dir, args.dim, n_bits=args.n_bits)
    start = time.perf_counter()
    handle.build(vectors, n, ids, metadatas, 0)
    seconds = time.perf_counter() - start
    handle.close()
    print(json.dumps({"build_seconds": seconds, "before_kb": before_kb, "peak_kb": memory_kb("VmHWM"),
                      "input_kb": len(vectors) // 1024}), flush=True)


def child_query(args):
    import nimbrel
    queries = np.load(args.queries)
    start = time.perf_counter()
    handle = nimbrel.ZevireDarir(args.index_dir, args.dim, n_bits=args.n_bits)
    open_seconds = time.perf_counter() - start
    encoded = [q.tobytes() for q in queries]
    search = handle.search
    for q in encoded[:100]:  # fault in what the queries touch
        search(q, K, 32, RERANK)
    sweep = []
    for nprobe in NPROBES:
        best, ids = None, None
        for _ in range(2):
            t = time.perf_counter()
            hits = [search(q, K, nprobe, RERANK) for q in encoded]
            s = time.perf_counter() - t
            best = s if best is None else min(best, s)
            ids = hits
        sweep.append({"nprobe": nprobe, "qps": len(encoded) / best,
                      "ids": [[int(i) for i, _ in h] for h in ids]})
    print(json.dumps({"open_seconds": open_seconds, "resident_kb_after_queries": memory_kb("VmRSS"),
                      "sweep": sweep}), flush=True)


def run_child(env, *argv):
    proc = subprocess.run([sys.executable, str(Path(__file__).resolve()), *argv], env=env,
                          stdout=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        raise SystemExit(f"child {argv[:2]} failed with status {proc.returncode}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ------------------------------------------------------------------ main

def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rows", type=int, default=10_000_000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--n-bits", type=int, default=2)
    p.add_argument("--worker", choices=("build", "query"), help=argparse.SUPPRESS)
    p.add_argument("--input", help=argparse.SUPPRESS)
    p.add_argument("--index-dir", help=argparse.SUPPRESS)
    p.add_argument("--queries", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.worker == "build":
        return child_build(args)
    if args.worker == "query":
        return child_query(args)

    CACHE_DIR.mkdir(exist_ok=True)
    tag = f"{args.rows}x{args.dim}"
    input_path = CACHE_DIR / f"scale-{tag}.f32"
    index_dir = CACHE_DIR / f"scale-{tag}-b{args.n_bits}"
    queries_path = CACHE_DIR / f"scale-{tag}-queries.npy"
    truth_path = CACHE_DIR / f"scale-{tag}-truth.npy"

    t = time.perf_counter()
    write_input(input_path, args.rows, args.dim)
    queries = Mixture(args.dim).draw(N_QUERIES, SEED)  # its own draw: not among the rows
    np.save(queries_path, queries)
    if not truth_path.exists():
        np.save(truth_path, exact_top_k(input_path, args.rows, args.dim, queries))
    truth = np.load(truth_path)
    print(f"input and exact answers ready in {time.perf_counter() - t:.0f} s", flush=True)

    for stale in (index_dir, Path(f"{index_dir}.lock")):
        if stale.is_dir():
            shutil.rmtree(stale)
        elif stale.exists():
            stale.unlink()
    common = ["--dim", str(args.dim), "--n-bits", str(args.n_bits), "--index-dir", str(index_dir)]
    built = run_child(os.environ.copy(), "--worker", "build", "--input", str(input_path), *common)
    queried = run_child(dict(os.environ, RAYON_NUM_THREADS="1"), "--worker", "query",
                        "--queries", str(queries_path), *common)

    rows = []
    for point in queried["sweep"]:
        found = point.pop("ids")
        hits = sum(len(set(f) & set(t.tolist())) for f, t in zip(found, truth))
        rows.append(dict(point, recall=hits / (K * len(truth))))
    reaching = next((r for r in rows if r["recall"] >= RECALL_TARGET), None)
    gb = 1 / (1024 * 1024)
    result = {"rows": args.rows, "dim": args.dim, "n_bits": args.n_bits, "rerank": RERANK,
              "build_seconds": built["build_seconds"], "input_gb": built["input_kb"] * gb,
              "before_build_gb": built["before_kb"] * gb, "peak_build_gb": built["peak_kb"] * gb,
              "open_seconds": queried["open_seconds"],
              "resident_gb_after_queries": queried["resident_kb_after_queries"] * gb,
              "index_gb": sum(f.stat().st_size for f in index_dir.iterdir()) / 2**30,
              "sweep": rows, "at_recall": reaching}

    print(f"\n{args.rows:,} rows x {args.dim}, {args.n_bits} bits, rerank {RERANK}")
    print(f"build          {result['build_seconds']:8.1f} s (all cores)")
    print(f"input floats   {result['input_gb']:8.2f} GB")
    print(f"RSS before     {result['before_build_gb']:8.2f} GB (input + ids)")
    print(f"peak RSS       {result['peak_build_gb']:8.2f} GB "
          f"(+{result['peak_build_gb'] - result['before_build_gb']:.2f} GB during the build; "
          f"{'below' if result['peak_build_gb'] - result['before_build_gb'] < result['input_gb'] else 'NOT below'}"
          f" the input's size)")
    print(f"segment files  {result['index_gb']:8.2f} GB")
    print(f"open           {result['open_seconds']:8.3f} s; after the queries below "
          f"{result['resident_gb_after_queries']:.2f} GB resident (mapped segment pages included)")
    print("\nnprobe  recall@10  QPS (1 thread)")
    for r in rows:
        print(f"{r['nprobe']:6d}  {r['recall']:9.3f}  {r['qps']:8.0f}")
    if reaching:
        print(f"\nrecall@10 >= {RECALL_TARGET}: nprobe {reaching['nprobe']}, "
              f"{reaching['qps']:.0f} QPS single thread")
    else:
        print(f"\nno nprobe up to {NPROBES[-1]} reaches recall@10 {RECALL_TARGET}")
    out = CACHE_DIR / f"results-scale-{args.rows}.json"
    out.write_text(json.dumps(result, indent=1))


if __name__ == "__main__":
    main()
