"""Recall and speed of nimbrel against faiss IVF indexes and an exact numpy search.

    python bench/bench.py [--quick] [--dataset gmm|words|all]

For each dataset, on the same vectors and the same number of IVF lists:

- build time (all cores): nimbrel `build`, faiss IVFRaBitQ + RefineFlat,
  faiss IVFPQFastScan (4-bit codes, as many bits per vector as nimbrel's) +
  RefineFlat and faiss IVFFlat (train + add), and hnswlib (M 16,
  ef_construction 200) when installed;
- recall@10 and single-thread queries per second over an nprobe sweep, every
  library queried one vector per call from Python so each pays the same
  per-call overhead; the numpy brute force is the exact ground truth;
- faiss batch throughput (all queries in one call, all cores), labelled as such;
- ratios nimbrel / every peer at matched recall and for build time (hnswlib
  has no nprobe: its `ef` is 4 * nprobe, at least k);
- filtered search, 1 % and 30 % of the rows passing (metadata {"b": i % 100}):
  nimbrel with a filter against faiss IVFRaBitQ + RefineFlat with an
  IDSelectorBitmap (recall against the exact top 10 of the passing rows) and
  numpy's exact search over the passing rows.

nimbrel runs in child processes of this script (its thread pool is sized
once per process); see the nimbrel section below. Builds and query passes of
the libraries take turns, so load from other work hits them alike.

Results: a table on stdout and bench/.cache/results-<dataset>.json
(results-<dataset>-quick.json with --quick).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import shutil
import subprocess
import sys
import time
import types
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
CACHE_DIR = BENCH_DIR / ".cache"
K = 10
RECALL_TARGET = 0.95
NPROBES = (1, 2, 4, 8, 16, 32, 64, 128)
BUILD_SEED = 42
# A timed pass over the queries is repeated until this much time was spent
# (at most MAX_PASSES times) and the fastest pass counts: one pass at a small
# nprobe lasts only milliseconds and would be dominated by noise.
MIN_TIMED_SECONDS = 0.3
MAX_PASSES = 5
BRUTE_FORCE_MAX_QUERIES = 300
WARM_UP_QUERIES = 200
BUILD_ROUNDS = 2
PEERS = ("faiss-ivfrabitq", "faiss-ivfpqfs", "faiss-ivfflat", "hnswlib")
FILTER_SHARES = (0.01, 0.30)
HNSW_M, HNSW_EF_CONSTRUCTION = 16, 200


def load_datasets_module():
    # bench/datasets.py shares its name with Hugging Face's `datasets`, whose
    # presence the embedding stack probes for. Load ours under a private name
    # and keep bench/ off sys.path so that probe does not find it.
    sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != BENCH_DIR]
    path = BENCH_DIR / "datasets.py"
    module = types.ModuleType("nimbrel_bench_datasets")
    module.__file__ = str(path)
    sys.modules[module.__name__] = module  # dataclasses look the module up here
    exec(compile(path.read_text(encoding="utf-8"), str(path), "exec"), module.__dict__)
    return module


# ---------------------------------------------------------------- measuring

def one_pass(search_one, queries):
    """Runs search_one over all queries; returns (results, seconds)."""
    start = time.perf_counter()
    results = [search_one(q) for q in queries]
    return results, time.perf_counter() - start


def timed_passes(search_one, queries):
    """Repeated passes (see MIN_TIMED_SECONDS); returns (first pass results, best seconds)."""
    first, best, spent, passes = None, math.inf, 0.0, 0
    while passes < MAX_PASSES and (passes == 0 or spent < MIN_TIMED_SECONDS):
        results, seconds = one_pass(search_one, queries)
        if first is None:
            first = results
        best, spent, passes = min(best, seconds), spent + seconds, passes + 1
    return first, best


def interleaved_sweep(searchers, nprobes, truth):
    """Single-thread recall and QPS of every searcher at every nprobe.

    The libraries take turns pass by pass, so a burst of other work on the
    machine slows all of them alike instead of whichever ran at that moment.
    Passes repeat until each searcher spent MIN_TIMED_SECONDS (at most
    MAX_PASSES rounds); the fastest pass counts, recall comes from the first.
    """
    rows = {name: [] for name in searchers}
    n_queries = len(truth)
    for nprobe in nprobes:
        best = dict.fromkeys(searchers, math.inf)
        spent = dict.fromkeys(searchers, 0.0)
        found = {}
        for _ in range(MAX_PASSES):
            for name, searcher in searchers.items():
                ids, seconds = searcher.timed_pass(nprobe)
                found.setdefault(name, ids)
                best[name] = min(best[name], seconds)
                spent[name] += seconds
            if min(spent.values()) >= MIN_TIMED_SECONDS:
                break
        for name in searchers:
            rows[name].append({"nprobe": nprobe,
                               "recall": recall_at_k(pad_ids(found[name]), truth),
                               "qps": n_queries / best[name]})
    return rows


def recall_at_k(found: np.ndarray, truth: np.ndarray) -> float:
    """Mean fraction of each query's true top-k present in its found top-k (-1 pads)."""
    hits = (found[:, :, None] == truth[:, None, :]).any(axis=2).sum(axis=1)
    return float(hits.mean() / truth.shape[1])


def pad_ids(rows, k=K) -> np.ndarray:
    out = np.full((len(rows), k), -1, dtype=np.int64)
    for i, row in enumerate(rows):
        row = list(row)[:k]
        out[i, :len(row)] = row
    return out


def exact_top_k(base: np.ndarray, queries: np.ndarray, k: int = K) -> np.ndarray:
    """Ground truth in float64, so float32 rounding cannot reorder near ties."""
    base64 = base.astype(np.float64)
    sqnorms = np.einsum("ij,ij->i", base64, base64)
    truth = np.empty((len(queries), k), dtype=np.int64)
    for start in range(0, len(queries), 100):
        q = queries[start:start + 100].astype(np.float64)
        dist = sqnorms[None, :] - 2.0 * (q @ base64.T)
        part = np.argpartition(dist, k, axis=1)[:, :k]
        order = np.take_along_axis(dist, part, axis=1).argsort(axis=1)
        truth[start:start + 100] = np.take_along_axis(part, order, axis=1)
    return truth


def brute_force(base, queries, truth):
    """Single-thread exact search, one query per call."""
    try:
        from threadpoolctl import threadpool_limits, threadpool_info
    except ImportError:
        threadpool_limits, threadpool_info = None, lambda: []
    sqnorms = np.einsum("ij,ij->i", base, base)

    def search_one(q):
        dist = sqnorms - 2.0 * (base @ q)
        top = np.argpartition(dist, K)[:K]
        return top[np.argsort(dist[top])]

    sample = queries[:BRUTE_FORCE_MAX_QUERIES]
    if threadpool_limits is None:
        found, seconds = timed_passes(search_one, sample)
        note = "threadpoolctl missing: BLAS thread count not limited"
    else:
        with threadpool_limits(limits=1, user_api="blas"):
            found, seconds = timed_passes(search_one, sample)
        blas = [f"{i.get('internal_api')} {i.get('version')} {i.get('architecture')}"
                for i in threadpool_info() if i.get("user_api") == "blas"]
        note = "; ".join(blas)
    return {"qps": len(sample) / seconds,
            "recall": recall_at_k(pad_ids(found), truth[:len(sample)]),
            "queries_timed": len(sample), "blas": note}


# ---------------------------------------------------------------------- faiss

class FaissSearcher:
    def __init__(self, faiss, index, ivf, queries, passing=None):
        self.faiss, self.index, self.ivf = faiss, index, ivf
        self.single = [q.reshape(1, -1) for q in queries]
        self.selector = None
        if passing is not None:
            # Bit i of byte i / 8 marks row i; faiss keeps a pointer, so the
            # bytes live as long as the searcher.
            self.bitmap = np.packbits(passing, bitorder="little")
            self.selector = faiss.IDSelectorBitmap(len(passing), faiss.swig_ptr(self.bitmap))

    def timed_pass(self, nprobe):
        self.faiss.omp_set_num_threads(1)
        if self.selector is None:
            self.ivf.nprobe = nprobe
            return one_pass(lambda q: self.index.search(q, K)[1][0], self.single)
        params = self.faiss.IndexRefineSearchParameters(
            k_factor=self.index.k_factor,
            base_index_params=self.faiss.SearchParametersIVF(sel=self.selector, nprobe=nprobe))
        return one_pass(lambda q: self.index.search(q, K, params=params)[1][0], self.single)

    def warm_up(self, nprobe):
        self.faiss.omp_set_num_threads(1)
        self.ivf.nprobe = nprobe
        one_pass(lambda q: self.index.search(q, K), self.single[:WARM_UP_QUERIES])

    def batch_qps(self, nprobe, queries):
        self.faiss.omp_set_num_threads(os.cpu_count() or 1)
        self.ivf.nprobe = nprobe
        _, seconds = timed_passes(lambda _: self.index.search(queries, K), [None])
        return len(queries) / seconds


def faiss_build(faiss, kind, base, nlist, n_bits, rerank):
    """Returns (index, its IVF level, train + add seconds), built on all cores."""
    dim = base.shape[1]
    faiss.omp_set_num_threads(os.cpu_count() or 1)
    start = time.perf_counter()
    if kind == "faiss-ivfflat":
        index = ivf = faiss.IndexIVFFlat(faiss.IndexFlatL2(dim), dim, nlist)
    elif kind == "faiss-ivfpqfs":
        # 4-bit sub-quantisers, as many bits per vector as nimbrel's codes
        # where the dimension allows (the sub-quantisers must divide it, and
        # there can be at most one per dimension); the report prints both.
        m = min(dim, max(1, dim * n_bits // 4))
        while dim % m:
            m -= 1
        ivf = faiss.IndexIVFPQFastScan(faiss.IndexFlatL2(dim), dim, nlist, m, 4)
        index = faiss.IndexRefineFlat(ivf)
        index.k_factor = rerank / K
    else:
        ivf = faiss.IndexIVFRaBitQ(faiss.IndexFlatL2(dim), dim, nlist,
                                   faiss.METRIC_L2, True, n_bits)
        index = faiss.IndexRefineFlat(ivf)
        # k_factor * k candidates go to the exact rerank: the same count as
        # nimbrel's `rerank` argument.
        index.k_factor = rerank / K
    index.train(base)
    index.add(base)
    return index, ivf, time.perf_counter() - start


# -------------------------------------------------------------------- hnswlib

def hnsw_ef(nprobe):
    return max(K, 4 * nprobe)


class HnswSearcher:
    def __init__(self, index, queries):
        self.index = index
        self.single = list(queries)

    def timed_pass(self, nprobe):
        self.index.set_ef(hnsw_ef(nprobe))
        return one_pass(lambda q: self.index.knn_query(q, k=K)[0][0], self.single)

    def warm_up(self, nprobe):
        self.index.set_ef(hnsw_ef(nprobe))
        one_pass(lambda q: self.index.knn_query(q, k=K), self.single[:WARM_UP_QUERIES])


def hnsw_build(hnswlib, base):
    start = time.perf_counter()
    index = hnswlib.Index(space="l2", dim=base.shape[1])
    index.init_index(max_elements=len(base), M=HNSW_M, ef_construction=HNSW_EF_CONSTRUCTION,
                     random_seed=BUILD_SEED)
    index.add_items(base, np.arange(len(base)), num_threads=os.cpu_count() or 1)
    seconds = time.perf_counter() - start
    index.set_num_threads(1)
    return index, seconds


# -------------------------------------------------------------------- nimbrel
#
# nimbrel sizes its data-parallel pool once per process from
# RAYON_NUM_THREADS, so it runs in child processes of this script: the build
# with the inherited environment, the queries in a long-lived child with
# RAYON_NUM_THREADS=1 that answers one request per line on stdin
# ({"nprobe": p} -> {"seconds": s, "ids": [[...], ...]}) and times itself.

def nimbrel_child(args):
    import nimbrel
    if args.worker == "build":
        base = np.load(args.base)
        n, dim = base.shape
        vectors = base.tobytes()
        ids = [str(i) for i in range(n)]
        metadatas = ([json.dumps({"b": i % 100}) for i in range(n)] if args.with_meta
                     else ["null"] * n)
        handle = nimbrel.ZevireDarir(args.index_dir, dim, n_bits=args.n_bits)
        start = time.perf_counter()
        handle.build(vectors, n, ids, metadatas, args.nlist, seed=BUILD_SEED)
        seconds = time.perf_counter() - start
        handle.close()
        print(json.dumps({"build_seconds": seconds}), flush=True)
        return

    queries = np.load(args.queries)
    handle = nimbrel.ZevireDarir(args.index_dir, queries.shape[1], n_bits=args.n_bits)
    encoded = [q.tobytes() for q in queries]
    search, rerank = handle.search, args.rerank
    # Fault in the probed parts of the memory-mapped segment before timing.
    one_pass(lambda q: search(q, K, args.warm_nprobe, rerank), encoded[:WARM_UP_QUERIES])
    print(json.dumps({"ready": True, "version": getattr(nimbrel, "__version__", None)}),
          flush=True)
    for line in sys.stdin:
        request = json.loads(line)
        nprobe, text = request["nprobe"], request.get("filter")
        if text is None:
            hits, seconds = one_pass(lambda q: search(q, K, nprobe, rerank), encoded)
        else:
            hits, seconds = one_pass(lambda q: search(q, K, nprobe, rerank, filter_json=text), encoded)
        ids = [[int(i) for i, _ in h] for h in hits]  # outside the timed pass
        print(json.dumps({"seconds": seconds, "ids": ids}), flush=True)


def child_command(*argv):
    return [sys.executable, str(Path(__file__).resolve()), *argv]


def last_line(path):
    lines = Path(path).read_text(errors="replace").strip().splitlines()
    return lines[-1] if lines else "(no output)"


class NimbrelSearcher:
    """The parent's side of the query child."""

    def __init__(self, work_dir, index_dir, queries, n_bits, rerank, warm_nprobe, filter_text=None):
        self.filter_text = filter_text
        query_path = work_dir / "queries.npy"
        np.save(query_path, queries)
        self.stderr_path = work_dir / "query-child.stderr"
        self.stderr = open(self.stderr_path, "w")
        self.proc = subprocess.Popen(
            child_command("--worker", "query", "--index-dir", str(index_dir),
                          "--queries", str(query_path), "--n-bits", str(n_bits),
                          "--rerank", str(rerank), "--warm-nprobe", str(warm_nprobe)),
            env=dict(os.environ, RAYON_NUM_THREADS="1"),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr, text=True)
        try:
            self.version = self._reply().get("version")
        except RuntimeError:
            self.stderr.close()
            raise

    def _reply(self):
        line = self.proc.stdout.readline()
        if not line:
            status = self.proc.wait()
            raise RuntimeError(f"nimbrel query child exited with status {status}: "
                               f"{last_line(self.stderr_path)}")
        return json.loads(line)

    def timed_pass(self, nprobe):
        try:
            self.proc.stdin.write(json.dumps({"nprobe": nprobe, "filter": self.filter_text}) + "\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass  # the child is gone; _reply reports how it ended
        reply = self._reply()
        return reply["ids"], reply["seconds"]

    def close(self):
        try:
            self.proc.stdin.close()  # end of input: the child leaves its loop
        except BrokenPipeError:
            pass
        self.proc.wait()
        self.stderr.close()


def nimbrel_build(work_dir, index_dir, base, nlist, n_bits, with_meta=False):
    """Builds in a fresh directory (in place, no swap); returns the build seconds."""
    for stale in (index_dir, Path(f"{index_dir}.lock"), Path(f"{index_dir}.old"),
                  Path(f"{index_dir}.compacting")):
        if stale.is_dir():
            shutil.rmtree(stale)
        elif stale.exists():
            stale.unlink()
    base_path = work_dir / "base.npy"
    if not base_path.exists():
        np.save(base_path, base)
    stderr_path = work_dir / "build-child.stderr"
    with open(stderr_path, "w") as stderr:
        proc = subprocess.run(
            child_command("--worker", "build", "--index-dir", str(index_dir),
                          "--base", str(base_path), "--nlist", str(nlist),
                          "--n-bits", str(n_bits), *(["--with-meta"] if with_meta else [])),
            stdout=subprocess.PIPE, stderr=stderr, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"nimbrel build child failed: {last_line(stderr_path)}")
    return json.loads(proc.stdout.strip().splitlines()[-1])["build_seconds"]


# ------------------------------------------------------------------ summary

def first_reaching(rows, target=RECALL_TARGET):
    return next((r for r in rows if r["recall"] >= target), None)


def qps_at_recall(rows, target=RECALL_TARGET):
    """QPS at the target recall, interpolating log(QPS) linearly in recall
    between the two sweep points around it. None when never reached; the
    first point's QPS when it already reaches the target."""
    for i, row in enumerate(rows):
        if row["recall"] >= target:
            if i == 0:
                return row["qps"]
            prev = rows[i - 1]
            span = row["recall"] - prev["recall"]
            t = (target - prev["recall"]) / span if span > 0 else 1.0
            return math.exp(math.log(prev["qps"]) + t * (math.log(row["qps"]) - math.log(prev["qps"])))
    return None


def ratio(a, b):
    return a / b if a is not None and b else None


def summarise(result):
    sweep, build = result["sweep"], result["build_seconds"]
    ratios = {}
    for other in PEERS:
        if "nimbrel" not in sweep or other not in sweep:
            continue
        mine, theirs = first_reaching(sweep["nimbrel"]), first_reaching(sweep[other])
        ratios[f"nimbrel/{other}"] = {
            "qps_interpolated_at_recall": ratio(qps_at_recall(sweep["nimbrel"]),
                                                qps_at_recall(sweep[other])),
            "first_row_reaching_nimbrel": mine,
            f"first_row_reaching_{other}": theirs,
            "qps_first_rows": ratio(mine and mine["qps"], theirs and theirs["qps"]),
            "build_time": ratio(build.get("nimbrel"), build.get(other)),
        }
    return ratios


def fmt(value, pattern):
    return "-" if value is None else format(value, pattern)


def print_report(result):
    s = result
    print()
    print(f"== {s['dataset']}{' (quick)' if s['quick'] else ''}: {s['n']} x {s['dim']} base, "
          f"{s['n_queries']} queries, k={K}, nlist={s['nlist']} ({s['description']})")
    fs = s.get("faiss_settings", {})
    print(f"   nimbrel: n_bits={s['n_bits']} rerank={s['rerank']}; faiss {fs.get('version')}: "
          f"IVFRaBitQ nb_bits={fs.get('ivfrabitq_nb_bits')} qb={fs.get('ivfrabitq_qb')} "
          f"+ IndexRefineFlat k_factor={fs.get('k_factor')}")
    if "ivfpqfs_bits_per_vector" in fs:
        print(f"   code bits per vector: nimbrel {s.get('nimbrel_code_bits_per_vector')}, "
              f"IVFPQFastScan {fs['ivfpqfs_bits_per_vector']}")
    load, cores = s["machine"]["load_average_at_start"][0], s["machine"]["cpu_count"]
    if load > 0.5 * cores:
        print(f"   warning: load average {load:.1f} on {cores} cores at start; "
              "all-core numbers (build, batch) are skewed by other work")
    if s.get("nimbrel_error"):
        print(f"   nimbrel not measured: {s['nimbrel_error']}")
    print("   build seconds (all cores): " + ", ".join(
        f"{name} {seconds:.2f}" for name, seconds in s["build_seconds"].items()))
    bf = s["brute_force"]
    print(f"   numpy brute force (1 thread, {bf['queries_timed']} queries): "
          f"recall@10 {bf['recall']:.4f}, {bf['qps']:.0f} QPS")

    libs = [name for name in ("nimbrel", *PEERS) if name in s["sweep"]]
    batch = {name: s["faiss_batch"][name] for name in libs if name in s.get("faiss_batch", {})}
    header = f"   {'nprobe':>6} | " + " | ".join(f"{name + ' R@10/QPS':>28}" for name in libs)
    header += " | " + " | ".join(f"{name + ' batch QPS':>24}" for name in batch)
    print("   single-thread, one query per call; batch = all queries in one call, all cores")
    print(header)
    for i, nprobe in enumerate(s["nprobes"]):
        cells = [f"{s['sweep'][n][i]['recall']:>8.4f} / {s['sweep'][n][i]['qps']:>17.0f}" for n in libs]
        cells += [f"{batch[n][i]['qps']:>24.0f}" for n in batch]
        print(f"   {nprobe:>6} | " + " | ".join(cells))

    for key, r in s["ratios"].items():
        mine, other = key.split("/")
        print(f"   {mine} / {other}: build time {fmt(r['build_time'], '.2f')}x; QPS at R@10 >= {RECALL_TARGET}: "
              f"{fmt(r['qps_interpolated_at_recall'], '.2f')}x interpolated, "
              f"{fmt(r['qps_first_rows'], '.2f')}x at the first nprobe reaching it")
        for name in (mine, other):
            row = r[f"first_row_reaching_{name}"]
            where = (f"nprobe {row['nprobe']}: R@10 {row['recall']:.4f}, {row['qps']:.0f} QPS"
                     if row else "never reached")
            print(f"      {name:>16} {where}")
    if s.get("filtered"):
        print_filtered(s["filtered"])


# ----------------------------------------------------------- filtered search

def exact_top_k_among(base, queries, rows, k=K):
    """The exact top k of the given rows (ids into base), in float64."""
    truth = exact_top_k(base[rows], queries, min(k, len(rows)))
    return rows[truth]


def numpy_filtered(base, queries, rows):
    """Single-thread exact search over the passing rows only, as a user with
    the rows' ids in hand would write it."""
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        threadpool_limits = None
    subset = np.ascontiguousarray(base[rows])
    sqnorms = np.einsum("ij,ij->i", subset, subset)

    def search_one(q):
        dist = sqnorms - 2.0 * (subset @ q)
        top = np.argpartition(dist, K)[:K] if len(rows) > K else np.arange(len(rows))
        return rows[top[np.argsort(dist[top])]]

    sample = queries[:BRUTE_FORCE_MAX_QUERIES]
    if threadpool_limits is None:
        _, seconds = timed_passes(search_one, sample)
    else:
        with threadpool_limits(limits=1, user_api="blas"):
            _, seconds = timed_passes(search_one, sample)
    return len(sample) / seconds


def filtered_search(data, nlist, nprobes, args, work_dir, faiss, rabitq):
    """nimbrel with a filter, faiss IVFRaBitQ with an IDSelectorBitmap and
    numpy over the passing rows, at each share of passing rows."""
    index_dir = work_dir / "nimbrel-index-meta"
    nimbrel_build(work_dir, index_dir, data.base, nlist, args.n_bits, with_meta=True)
    out = []
    for share in FILTER_SHARES:
        cut = max(1, round(share * 100))
        passing = (np.arange(data.n) % 100) < cut
        rows = np.flatnonzero(passing)
        truth = exact_top_k_among(data.base, data.queries, rows)
        searchers = {
            "nimbrel": NimbrelSearcher(work_dir, index_dir, data.queries, args.n_bits, args.rerank,
                                       max(nprobes), filter_text=json.dumps({"b": {"$lt": cut}})),
            "faiss-ivfrabitq": FaissSearcher(faiss, *rabitq, data.queries, passing=passing),
        }
        try:
            sweep = interleaved_sweep(searchers, nprobes, truth)
        finally:
            searchers["nimbrel"].close()
        numpy_qps = numpy_filtered(data.base, data.queries, rows)
        mine = qps_at_recall(sweep["nimbrel"])
        out.append({"share": share, "passing_rows": int(len(rows)), "sweep": sweep,
                    "numpy_exact_qps": numpy_qps,
                    "nimbrel/faiss-ivfrabitq": ratio(mine, qps_at_recall(sweep["faiss-ivfrabitq"])),
                    "nimbrel/numpy": ratio(mine, numpy_qps),
                    # When faiss never reaches the target: against its highest-recall point.
                    "nimbrel/faiss-ivfrabitq-best": ratio(mine, sweep["faiss-ivfrabitq"][-1]["qps"])})
    return out


def print_filtered(filtered):
    print(f"   filtered search (single thread; recall against the exact top {K} of the passing rows):")
    for f in filtered:
        print(f"   {100 * f['share']:.0f} % of rows pass ({f['passing_rows']} rows); "
              f"numpy exact over them {f['numpy_exact_qps']:.0f} QPS")
        print(f"   {'nprobe':>6} | {'nimbrel R@10/QPS':>28} | {'faiss-ivfrabitq+bitmap R@10/QPS':>34}")
        for mine, theirs in zip(f["sweep"]["nimbrel"], f["sweep"]["faiss-ivfrabitq"]):
            print(f"   {mine['nprobe']:>6} | {mine['recall']:>8.4f} / {mine['qps']:>17.0f} | "
                  f"{theirs['recall']:>8.4f} / {theirs['qps']:>23.0f}")
        print(f"   QPS at R@10 >= {RECALL_TARGET}: nimbrel / faiss-ivfrabitq+bitmap "
              f"{fmt(f['nimbrel/faiss-ivfrabitq'], '.2f')}x, nimbrel / numpy exact "
              f"{fmt(f['nimbrel/numpy'], '.2f')}x")
        if f["nimbrel/faiss-ivfrabitq"] is None and f.get("nimbrel/faiss-ivfrabitq-best") is not None:
            best = f["sweep"]["faiss-ivfrabitq"][-1]
            print(f"   faiss never reaches {RECALL_TARGET}; against its highest nprobe (R@10 "
                  f"{best['recall']:.4f}) nimbrel at {RECALL_TARGET} is "
                  f"{f['nimbrel/faiss-ivfrabitq-best']:.2f}x")


# --------------------------------------------------------------------- main

def run_dataset(datasets, name, args):
    data = datasets.load(name, args.quick)
    nlist = args.nlist or max(1, round(math.sqrt(data.n)))
    nprobes = [p for p in NPROBES if p <= nlist] or [nlist]
    print(f"[{name}] {data.n} x {data.dim}, {len(data.queries)} queries; ground truth ...", flush=True)
    truth = exact_top_k(data.base, data.queries)

    result = {
        "dataset": name, "quick": args.quick, "description": data.description,
        "n": data.n, "dim": data.dim, "n_queries": len(data.queries), "k": K,
        "nlist": nlist, "n_bits": args.n_bits, "rerank": args.rerank, "nprobes": nprobes,
        "recall_target": RECALL_TARGET,
        "machine": {"cpu_count": os.cpu_count(), "processor": cpu_model(),
                    "python": platform.python_version(), "numpy": np.__version__,
                    # Other work on the machine skews the all-core numbers most.
                    "load_average_at_start": os.getloadavg()},
        "env": {key: os.environ.get(key) for key in
                ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE", "RAYON_NUM_THREADS")},
    }

    print(f"[{name}] numpy brute force ...", flush=True)
    result["brute_force"] = brute_force(data.base, data.queries, truth)

    import faiss
    try:
        import hnswlib
    except ImportError:
        hnswlib = None
    libs = ["faiss-ivfrabitq", "faiss-ivfpqfs", "faiss-ivfflat"] + (["hnswlib"] if hnswlib else [])
    work_dir = index_dir = None
    if not args.skip_nimbrel:
        libs.insert(0, "nimbrel")
        work_dir = CACHE_DIR / f"run-{name}{'-quick' if args.quick else ''}"
        work_dir.mkdir(parents=True, exist_ok=True)
        (work_dir / "base.npy").unlink(missing_ok=True)
        index_dir = work_dir / "nimbrel-index"

    # Builds take turns too, each BUILD_ROUNDS times; the fastest counts.
    print(f"[{name}] builds ...", flush=True)
    build_runs = {lib: [] for lib in libs}
    faiss_indexes = {}
    for _ in range(BUILD_ROUNDS):
        for lib in list(libs):
            if lib == "nimbrel":
                try:
                    build_runs[lib].append(nimbrel_build(work_dir, index_dir, data.base,
                                                         nlist, args.n_bits))
                except RuntimeError as err:
                    result["nimbrel_error"] = str(err)
                    libs.remove(lib)
                    del build_runs[lib]
            elif lib == "hnswlib":
                hnsw_index, seconds = hnsw_build(hnswlib, data.base)
                build_runs[lib].append(seconds)
            else:
                index, ivf, seconds = faiss_build(faiss, lib, data.base, nlist,
                                                  args.n_bits, args.rerank)
                faiss_indexes[lib] = (index, ivf)
                build_runs[lib].append(seconds)
    result["build_seconds"] = {lib: min(runs) for lib, runs in build_runs.items()}
    result["build_seconds_all_rounds"] = build_runs

    print(f"[{name}] query sweeps ...", flush=True)
    searchers = {}
    try:
        for lib in libs:
            if lib == "nimbrel":
                try:
                    searchers[lib] = NimbrelSearcher(work_dir, index_dir, data.queries,
                                                     args.n_bits, args.rerank, max(nprobes))
                    result["nimbrel"] = {"version": searchers[lib].version,
                                         "build_threads": os.environ.get(
                                             "RAYON_NUM_THREADS", f"all ({os.cpu_count()})"),
                                         "query_threads": 1}
                except RuntimeError as err:
                    result["nimbrel_error"] = str(err)
            elif lib == "hnswlib":
                searchers[lib] = HnswSearcher(hnsw_index, data.queries)
                searchers[lib].warm_up(max(nprobes))
            else:
                searchers[lib] = FaissSearcher(faiss, *faiss_indexes[lib], data.queries)
                searchers[lib].warm_up(max(nprobes))
        try:
            result["sweep"] = interleaved_sweep(searchers, nprobes, truth)
        except RuntimeError as err:  # the nimbrel child died mid-sweep
            result["nimbrel_error"] = str(err)
            searchers.pop("nimbrel").close()
            result["sweep"] = interleaved_sweep(searchers, nprobes, truth)
    finally:
        for searcher in searchers.values():
            if isinstance(searcher, NimbrelSearcher):
                searcher.close()

    result["faiss_batch"] = {
        lib: [{"nprobe": p, "qps": searchers[lib].batch_qps(p, data.queries)} for p in nprobes]
        for lib in searchers if lib.startswith("faiss")}
    rabitq = faiss_indexes["faiss-ivfrabitq"][1]
    result["faiss_settings"] = {
        "version": faiss.__version__, "ivfrabitq_nb_bits": int(rabitq.rabitq.nb_bits),
        "ivfrabitq_qb": int(rabitq.qb), "refine": "IndexRefineFlat",
        "k_factor": args.rerank / K, "kmeans_niter": int(rabitq.cp.niter)}
    fastscan = faiss_indexes["faiss-ivfpqfs"][1]
    result["faiss_settings"]["ivfpqfs_bits_per_vector"] = int(fastscan.pq.M) * int(fastscan.pq.nbits)
    # nimbrel's codes cover the dimension padded to a multiple of 64.
    result["nimbrel_code_bits_per_vector"] = args.n_bits * ((data.dim + 63) // 64 * 64)
    result["ratios"] = summarise(result)
    if not args.skip_nimbrel and "nimbrel" in result["sweep"]:
        print(f"[{name}] filtered search ...", flush=True)
        result["filtered"] = filtered_search(data, nlist, nprobes, args, work_dir,
                                             faiss, faiss_indexes["faiss-ivfrabitq"])

    print_report(result)
    out = CACHE_DIR / f"results-{name}{'-quick' if args.quick else ''}.json"
    out.write_text(json.dumps(result, indent=2) + "\n")
    print(f"   written {out}")


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor()


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="small sizes, for a smoke test")
    p.add_argument("--dataset", choices=("gmm", "words", "all"), default="all")
    p.add_argument("--rerank", type=int, default=200,
                   help="nimbrel rerank count; faiss refines rerank/k * k candidates (default 200)")
    p.add_argument("--n-bits", type=int, default=2,
                   help="bits per dimension for nimbrel and faiss IVFRaBitQ (default 2)")
    p.add_argument("--nlist", type=int, default=0, help="IVF lists (default round(sqrt(n)))")
    p.add_argument("--skip-nimbrel", action="store_true", help="measure faiss and numpy only")
    # Internal: the nimbrel child processes.
    p.add_argument("--worker", choices=("build", "query"), help=argparse.SUPPRESS)
    p.add_argument("--index-dir", help=argparse.SUPPRESS)
    p.add_argument("--base", help=argparse.SUPPRESS)
    p.add_argument("--queries", help=argparse.SUPPRESS)
    p.add_argument("--warm-nprobe", type=int, help=argparse.SUPPRESS)
    p.add_argument("--with-meta", action="store_true", help=argparse.SUPPRESS)
    return p.parse_args()


def main():
    args = parse_args()
    if args.worker:
        nimbrel_child(args)
        return
    datasets = load_datasets_module()
    names = ("gmm", "words") if args.dataset == "all" else (args.dataset,)
    for name in names:
        run_dataset(datasets, name, args)


if __name__ == "__main__":
    main()
