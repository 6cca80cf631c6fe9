"""Multi-column fusion: `ZevireDarir.nmql_fuse` against the same fusion in plain Python.

    python bench/bench_fuse.py [--quick] [--fresh]

A realistic fused query over four vector columns: each column is three
segments of 1,000,000 rows (dim 128), newest first, every id in exactly one
of them, and a tombstone set of 10,000 ids. Eight clauses (two per column)
of 1,000 hits each are drawn from 3,400 candidate ids, so that about half of
the cells of the pooled table need a lookup; two prefer clauses of 200 hits
boost rows; `top` is 100.

Measured, the fastest of several passes:

- native: `nmql_fuse` with parallel=False (one thread) and parallel=True;
- model: tests/fuse_model.py, a plain Python reading of the same fusion,
  whose lookups go through `distances_to_many` (the host has nothing faster)
  with the same parallel flag; the two results are checked to be equal;
- the share of the native call spent in fill lookups: 1 − (time of the same
  call with the fill queries left out, so no row is looked up) / (time of
  the call).

The segments are cached under bench/.cache/fuse-*/ (--fresh remakes them).
Results: a table on stdout and bench/.cache/results-fuse.json
(results-fuse-quick.json with --quick).
"""

from __future__ import annotations

import argparse
import json
import math
import platform
import struct
import sys
import time
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
CACHE_DIR = BENCH_DIR / ".cache"
sys.path.insert(0, str(BENCH_DIR.parent / "tests"))
from fuse_model import fuse_model  # noqa: E402

import nimbrel  # noqa: E402
from bench_util import fastest, fresh_dir  # noqa: E402

FULL = {"rows": 1_000_000, "passes": 20}
QUICK = {"rows": 50_000, "passes": 3}
DIM = 128
COLUMNS, SOURCES = 4, 3
CLAUSES_PER_COLUMN, HITS = 2, 1_000
CANDIDATES = 3_400          # (1 - 1000/3400)^2 ≈ 0.5: half the cells unhit
PREFERS, PREFER_HITS = 2, 200
TOMBSTONES = 10_000
TOP = 100
SEED = 20261207
TARGET = 20.0               # native at least this many times faster than the model


def build_column(work: Path, column: int, rows: int, fresh: bool):
    """The column's sources, newest first; id r{i} lives in source i % 3."""
    sources = []
    for s in range(SOURCES):
        path = work / f"col{column}-src{s}"
        done = path / "manifest.bin"
        if fresh or not done.exists():
            fresh_dir(path)
            rng = np.random.default_rng(SEED + 10 * column + s)
            vectors = rng.standard_normal((rows, DIM), dtype=np.float32)
            ids = [f"r{i}" for i in range(s, SOURCES * rows, SOURCES)]
            h = nimbrel.ZevireDarir(str(path), DIM)
            t = time.perf_counter()
            h.build(vectors.tobytes(), rows, ids, ["null"] * rows, int(math.sqrt(rows)))
            print(f"  built {path.name}: {rows:,} rows in {time.perf_counter() - t:.1f} s", flush=True)
            del vectors
            h.close()
        sources.append(nimbrel.ZevireDarir(str(path), DIM))
    return sources


def make_query(columns, rows):
    """The arguments of one fused query (all but `parallel`)."""
    rng = np.random.default_rng(SEED)
    n_ids = SOURCES * rows
    pool = [f"r{i}" for i in rng.choice(n_ids, CANDIDATES, replace=False)]
    clauses, fill = [], []
    for c in range(COLUMNS):
        queries = []
        for k in range(CLAUSES_PER_COLUMN):
            picked = rng.choice(CANDIDATES, HITS, replace=False)
            dists = np.sort(rng.uniform(60.0, 260.0, HITS))
            clauses.append((c, 1.0 + 0.5 * k, k == 0, [(pool[i], float(d)) for i, d in zip(picked, dists)]))
            queries.append((1.0 + 0.5 * k, rng.standard_normal(DIM, dtype=np.float32).tobytes()))
        tombs = {f"r{i}" for i in rng.choice(n_ids, TOMBSTONES, replace=False)}
        fill.append((columns[c], tombs, queries))
    prefer = []
    for _ in range(PREFERS):
        picked = rng.choice(CANDIDATES, PREFER_HITS, replace=False)
        prefer.append((0.3, 100.0, [(pool[i], float(d)) for i, d in zip(picked, rng.uniform(0, 200, PREFER_HITS))]))
    return {"n_cols": COLUMNS, "clauses": clauses, "divs": [100.0] * COLUMNS, "ban": None, "gates": None,
            "has_should": False, "fill": fill, "prefer": prefer, "top": TOP}


def native(q, parallel):
    return nimbrel.ZevireDarir.nmql_fuse(**q, parallel=parallel)


def model(q, parallel):
    def lookup(sources, ids, qbytes):
        return nimbrel.ZevireDarir.distances_to_many([(sources, ids, qbytes)], parallel)[0]
    return fuse_model(**q, lookup=lookup)


def same(a, b):
    """Equal 8-tuples, float lists compared by their bits."""
    bits = lambda xs: [struct.pack("<d", x) for x in xs]  # noqa: E731
    return (a[0] == b[0] and a[1] == b[1] and bits(a[2]) == bits(b[2]) and a[3:] == b[3:])


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="50,000 rows per source: a smoke test")
    p.add_argument("--fresh", action="store_true", help="remake the cached segments")
    args = p.parse_args()
    cfg = QUICK if args.quick else FULL
    rows = cfg["rows"]
    work = CACHE_DIR / f"fuse-{rows}"
    work.mkdir(parents=True, exist_ok=True)
    print(f"{COLUMNS} columns x {SOURCES} sources x {rows:,} rows, dim {DIM}", flush=True)
    columns = [build_column(work, c, rows, args.fresh) for c in range(COLUMNS)]
    q = make_query(columns, rows)

    out = native(q, True)
    n_rows = len(out[0])
    cells = n_rows * COLUMNS
    filled = sum(out[6])
    matched = sum(out[5])
    assert same(out, model(q, True)), "native and model disagree"
    no_fill = dict(q, fill=[(s, t, []) for s, t, _ in q["fill"]])

    res = {"machine": platform.machine(), "rows_per_source": rows, "pooled_rows": n_rows,
           "cells": cells, "matched_cells": matched, "filled_cells": filled, "returned": len(out[1])}
    for label, parallel in (("1t", False), ("all", True)):
        t_native = fastest(lambda: native(q, parallel), cfg["passes"], warm_up=True)
        t_model = fastest(lambda: model(q, parallel), cfg["passes"], warm_up=True)
        t_bare = fastest(lambda: native(no_fill, parallel), cfg["passes"], warm_up=True)
        res[f"native_ms_{label}"] = t_native * 1e3
        res[f"model_ms_{label}"] = t_model * 1e3
        res[f"speedup_{label}"] = t_model / t_native
        res[f"fill_share_{label}"] = 1.0 - t_bare / t_native

    print(f"\npooled rows {n_rows:,}, cells {cells:,}: {matched:,} matched, {filled:,} filled "
          f"({filled / cells:.0%}), {res['returned']} returned")
    print(f"{'':14}{'nmql_fuse':>12}{'Python model':>15}{'speedup':>10}{'fill share':>12}")
    for label, name in (("1t", "one thread"), ("all", "all cores")):
        ok = "meets" if res[f"speedup_{label}"] >= TARGET else "misses"
        print(f"{name:14}{res[f'native_ms_{label}']:>10.2f}ms{res[f'model_ms_{label}']:>13.2f}ms"
              f"{res[f'speedup_{label}']:>9.1f}x{res[f'fill_share_{label}']:>11.0%}   ({ok} {TARGET:.0f}x)")
    name = "results-fuse-quick.json" if args.quick else "results-fuse.json"
    (CACHE_DIR / name).write_text(json.dumps(res, indent=2))


if __name__ == "__main__":
    main()
