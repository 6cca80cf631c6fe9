"""Filtered search and filtered counts against numpy on the same rows.

    python bench/bench_filter.py [--quick] [--fresh]

One segment of 1,000,000 rows × 128 (a mixture of 1,000 Gaussian blobs),
metadata {"b": i % 100}, 1,000 lists, 2 bits. Everything runs on one thread
(RAYON_NUM_THREADS=1 is set before nimbrel is imported) except the counts'
"all cores" column, which comes from a child with the full pool.

- search: `search(q, 10, nprobe, rerank=200, filter_json=...)` for filters
  passing no row, 1 % and 30 % of the rows, beside the unfiltered search,
  and a filter passing no row whose text is new at every query (so the
  segment has not yet remembered which rows pass);
  recall@10 against the exact top 10 among the passing rows, and numpy's
  exact search over the passing rows (the query's squared distances to
  every passing row, then the 10 smallest) as the baseline;
- counts: `count_matching` for equality, range, `$in` and `$or` against
  numpy evaluating the same condition on the column as an array.

The segment is cached under bench/.cache/filter-<rows>/ (--fresh remakes it).
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

if "--child-counts" not in sys.argv:
    os.environ["RAYON_NUM_THREADS"] = "1"

import numpy as np  # noqa: E402

import nimbrel  # noqa: E402
from bench_util import fastest  # noqa: E402

BENCH_DIR = Path(__file__).resolve().parent
DIM, LISTS, SEED = 128, 1000, 7
FILTERS = (("no row", '{"b": 1000}', lambda b: b == 1000), ("1 %", '{"b": 7}', lambda b: b == 7),
           ("30 %", '{"b": {"$lt": 30}}', lambda b: b < 30))
COUNTS = (("equality", '{"b": 7}', lambda b: np.count_nonzero(b == 7)),
          ("range", '{"b": {"$lt": 30}}', lambda b: np.count_nonzero(b < 30)),
          ("$in", '{"b": {"$in": [1, 5, 9]}}', lambda b: np.count_nonzero(np.isin(b, [1, 5, 9]))),
          ("$or", '{"$or": [{"b": 3}, {"b": {"$gt": 90}}]}', lambda b: np.count_nonzero((b == 3) | (b > 90))))


def data(rows, work: Path, fresh: bool):
    rng = np.random.default_rng(SEED)
    centers = rng.standard_normal((1000, DIM)).astype(np.float32) * 3
    x_path, seg = work / "x.npy", work / "seg"
    if fresh or not (seg / "manifest.bin").exists():
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        labels = rng.integers(0, 1000, rows)
        x = centers[labels] + rng.standard_normal((rows, DIM)).astype(np.float32)
        np.save(x_path, x)
        h = nimbrel.ZevireDarir(str(seg), DIM)
        h.build(x.tobytes(), rows, [f"r{i}" for i in range(rows)], [f'{{"b": {i % 100}}}' for i in range(rows)],
                min(LISTS, rows // 100))
        h.close()
    qrng = np.random.default_rng(SEED + 1)
    queries = centers[qrng.integers(0, 1000, 300)] + qrng.standard_normal((300, DIM)).astype(np.float32)
    return np.load(x_path), nimbrel.ZevireDarir(str(seg), DIM), queries


def per_query(fn, queries):
    start = time.perf_counter()
    out = [fn(q) for q in queries]
    return (time.perf_counter() - start) / len(queries), out


def counts(h, rows):
    b = (np.arange(rows) % 100).astype(np.float64)
    return {name: (fastest(lambda: h.count_matching(f), 10), fastest(lambda: npf(b), 10)) for name, f, npf in COUNTS}


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="100,000 rows")
    p.add_argument("--fresh", action="store_true", help="remake the cached segment")
    p.add_argument("--child-counts", help=argparse.SUPPRESS)
    args = p.parse_args()
    rows = 100_000 if args.quick else 1_000_000
    work = BENCH_DIR / ".cache" / f"filter-{rows}"
    if args.child_counts:
        h = nimbrel.ZevireDarir(str(work / "seg"), DIM)
        print(repr(counts(h, rows)))
        return
    x, h, queries = data(rows, work, args.fresh)
    b = np.arange(rows) % 100

    print(f"{rows:,} rows x {DIM}, one thread; ms per query, recall@10 among the passing rows\n")
    print(f"{'filter':10}{'nprobe':>7}{'nimbrel':>10}{'recall':>8}{'unfiltered':>12}{'numpy exact':>13}"
          f"{'vs numpy':>10}")
    per_query(lambda q: h.search(q.tobytes(), 10, nprobe=64, rerank=200), queries)  # warm-up: maps the files in
    for nprobe in (16, 64):
        bare, _ = per_query(lambda q: h.search(q.tobytes(), 10, nprobe=nprobe, rerank=200), queries)
        for name, text, mask in FILTERS:
            t, res = per_query(lambda q: h.search(q.tobytes(), 10, nprobe=nprobe, rerank=200, filter_json=text),
                               queries)
            idx = np.nonzero(mask(b))[0]
            sub = x[idx]

            def exact(q):
                d = ((sub - q) ** 2).sum(1)
                return idx[np.argpartition(d, 10)[:10]] if len(idx) > 10 else idx

            t_np, truth = per_query(exact, queries)
            recall = (np.mean([len({f"r{i}" for i in tr} & {i for i, _ in r}) / min(10, len(tr))
                               for tr, r in zip(truth, res)]) if len(idx) else float("nan"))
            print(f"{name:10}{nprobe:>7}{t * 1e3:>10.3f}{recall:>8.3f}{bare * 1e3:>12.3f}{t_np * 1e3:>13.3f}"
                  f"{t_np / t:>9.2f}x")
        # A filter seen for the first time: its passing rows are not known yet.
        texts = iter(f'{{"b": {1000 + 1000 * nprobe + i}}}' for i in range(len(queries)))
        t, _ = per_query(lambda q: h.search(q.tobytes(), 10, nprobe=nprobe, rerank=200, filter_json=next(texts)),
                         queries)
        print(f"{'  (new)':10}{nprobe:>7}{t * 1e3:>10.3f}{'':>8}{bare * 1e3:>12.3f}   no row passes; a new filter text each query")

    one = counts(h, rows)
    child = subprocess.run([sys.executable, __file__, "--child-counts", "1"] + (["--quick"] if args.quick else []),
                           capture_output=True, text=True, env={k: v for k, v in os.environ.items()
                                                                if k != "RAYON_NUM_THREADS"}, check=True)
    many = eval(child.stdout.strip())  # noqa: S307 - our own child's repr of a dict of floats
    print(f"\ncount_matching, ms: {'':6}{'one thread':>12}{'all cores':>11}{'numpy':>8}{'1 thread/numpy':>16}")
    for name, _, _ in COUNTS:
        (t1, tn), (ta, _) = one[name], many[name]
        print(f"{name:26}{t1 * 1e3:>10.2f}{ta * 1e3:>11.2f}{tn * 1e3:>8.2f}{t1 / tn:>15.1f}x")


if __name__ == "__main__":
    main()
