"""Write-path speed of nimbrel: add and delete, replay, compaction, search over a delta.

    python bench/bench_write.py [--quick] [--only write,replay,compact,search,contended]

Four parts, each against a baseline measured in the same run and printed as
a ratio beside the target it should meet:

- write: `add` and `delete` one row per call from Python into a built
  segment, under three durability settings (a log flush after every
  operation, after every 1000, and at most every 10 ms); beside them faiss
  `IndexIVFRaBitQ.add` of one row at a time on an index trained on the same
  rows with the same lists (the cost of encoding a row in memory, nothing
  else), and a Python loop of one small `os.write` + `os.fsync` on a file
  next to the segment (what one flush to this disk costs);
- replay: the open time of a segment whose log holds N adds, as operations
  per second, and the open time of the same segment after `flush()`;
- compact: `compact` of a segment with 10 % of its rows tombstoned and
  `rebuild` of the result, against `build` of the same live rows;
- search: single-thread recall@10 and QPS with 10 % of the rows in the
  delta (added after the build) against the same segment compacted;
- contended: the latency of one `add` and one `delete` (median, p99) on an
  idle segment and while 4 threads run `search_hybrid` on it without
  pause, against the time of one such search (a writer must get in once
  the searches already running finish, not wait out a stream of them).

The parts run in this process on all cores, except the replay's opens,
which run in child processes (all cores, each killed and reported if it
hangs), and the searches, which run in child processes with
RAYON_NUM_THREADS=1 (bench/bench.py's query child). Timed passes take turns
round by round, so a burst of other work on the machine slows every
contender alike; the fastest pass counts.

Results: tables on stdout and bench/.cache/results-write.json
(results-write-quick.json with --quick).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import shutil
import statistics
import subprocess
import sys
import threading
import time
import types
from pathlib import Path

import numpy as np

from bench_util import fresh_dir

BENCH_DIR = Path(__file__).resolve().parent
CACHE_DIR = BENCH_DIR / ".cache"
PARTS = ("write", "replay", "compact", "search", "contended")

# Sizes. "durable" passes flush the log (or the file) after every
# operation and so run a few thousand operations a second; the others run
# tens of thousands.
FULL = {"write_rows": 200_000, "durable_ops": 1_000, "fast_ops": 5_000, "write_rounds": 10,
        "replay_ops": 100_000, "open_repeats": 3,
        "compact_rows": 1_000_000, "compact_rounds": 2,
        "search_rows": 200_000, "queries": 1_000, "search_min_seconds": 3.0, "search_max_passes": 10,
        "contended_rows": 200_000, "contended_ops": 1_000}
QUICK = {"write_rows": 20_000, "durable_ops": 200, "fast_ops": 2_000, "write_rounds": 3,
         "replay_ops": 10_000, "open_repeats": 2,
         "compact_rows": 100_000, "compact_rounds": 1,
         "search_rows": 20_000, "queries": 200, "search_min_seconds": 0.5, "search_max_passes": 10,
        "contended_rows": 20_000, "contended_ops": 200}
TOMBSTONED = 0.10      # share of the rows deleted before `compact`
DELTA_SHARE = 0.10     # share of the rows added after `build` in the search part
BULK_INTERVAL = 1_000_000  # durability interval while loading a log (no flush on the way)
FLOOR_WRITE_BYTES = 512    # one dim-128 float32 vector: about an add's log frame
SEARCH_NPROBES = (4, 16, 32, 64, 128)
BUILD_SEED = 42

# Targets: name of the number -> (comparison, bound, bound as printed).
TARGETS = {
    "add_interval_1000_vs_faiss_add": (">=", 1.0, "1.00x"),
    "add_interval_1_vs_write_fsync": (">=", 0.8, "0.80x"),
    "add_wal_sync_ms_10_vs_interval_1000": (">=", 0.8, "0.80x"),
    "delete_interval_1_vs_write_fsync": (">=", 0.8, "0.80x"),
    "delete_wal_sync_ms_10_vs_interval_1000": (">=", 0.8, "0.80x"),
    "replay_ops_per_second": (">=", 300_000.0, "300,000"),
    "compact_vs_build": ("<=", 0.5, "0.50x"),
    "search_delta_qps_vs_compacted": (">=", 0.8, "0.80x"),
    "search_delta_recall_minus_compacted": (">=", 0.0, "0"),
    "add_p99_under_readers_vs_reader_call": ("<=", 10.0, "10x"),
}

FAISS_ADD = "faiss IVFRaBitQ one-row add, 1 thread"
FSYNC_LOOP = "os.write + os.fsync"
# ratio -> (contender, baseline), both passes of the write part.
WRITE_RATIOS = {
    "add_interval_1000_vs_faiss_add": ("add, interval 1000", FAISS_ADD),
    "add_interval_1_vs_write_fsync": ("add, interval 1", FSYNC_LOOP),
    "add_wal_sync_ms_10_vs_interval_1000": ("add, wal_sync_ms 10", "add, interval 1000"),
    "delete_interval_1_vs_write_fsync": ("delete, interval 1", FSYNC_LOOP),
    "delete_wal_sync_ms_10_vs_interval_1000": ("delete, wal_sync_ms 10", "delete, interval 1000"),
    "delete_interval_1000_vs_faiss_add": ("delete, interval 1000", FAISS_ADD),
}

DURABILITY = {  # name -> (set_durability interval, set_wal_sync_ms ms)
    "interval 1": (1, 0),
    "interval 1000": (1000, 0),
    "wal_sync_ms 10": (1, 10),
}


def load_private(name, path):
    """Loads a file of bench/ under a private module name, as bench.py loads
    bench/datasets.py (which must not be importable as `datasets`)."""
    module = types.ModuleType(name)
    module.__file__ = str(path)
    sys.modules[name] = module  # dataclasses look the module up here
    exec(compile(path.read_text(encoding="utf-8"), str(path), "exec"), module.__dict__)
    return module


# bench.py: its dataset loader, ground truth, recall, interleaved sweep and
# single-thread query child are reused as they are.
bench = load_private("nimbrel_bench_main", BENCH_DIR / "bench.py")


# The segments a run makes in its work directory.
SEGMENT_DIRS = ("write-seg", "replay-seg", "compact-seg", "compact-live-build", "search-delta",
                "search-compacted", "contended-seg")


def build_segment(nimbrel, path, rows, ids, nlist, n_bits):
    """Builds `rows` into a fresh directory; returns (handle, build seconds)."""
    fresh_dir(path)
    handle = nimbrel.ZevireDarir(str(path), rows.shape[1], n_bits=n_bits)
    vectors, metadatas = rows.tobytes(), ["null"] * len(rows)
    start = time.perf_counter()
    handle.build(vectors, len(rows), ids, metadatas, nlist, seed=BUILD_SEED)
    return handle, time.perf_counter() - start


def set_policy(handle, name):
    interval, ms = DURABILITY[name]
    handle.set_wal_sync_ms(ms)
    handle.set_durability(interval)


def best(values, key=min):
    return key(values) if values else None


def ratio(a, b):
    return a / b if a is not None and b else None


# ------------------------------------------------------------------ write

def part_write(nimbrel, faiss, data, cfg, args, work):
    """add / delete throughput under each durability setting, beside the
    faiss one-row add and the write + fsync loop, taking turns."""
    n = cfg["write_rows"]
    base, pool = data.base[:n], data.base[n:]
    nlist = max(1, round(math.sqrt(n)))
    durable, fast, rounds = cfg["durable_ops"], cfg["fast_ops"], cfg["write_rounds"]
    print(f"[write] build {n} x {base.shape[1]}, {nlist} lists ...", flush=True)
    handle, build_seconds = build_segment(nimbrel, work / "write-seg", base,
                                          [str(i) for i in range(n)], nlist, args.n_bits)

    # The first add of a segment prepares its nearest-centroid ranker: timed
    # on its own, outside the passes.
    start = time.perf_counter()
    handle.add("first", pool[0].tobytes())
    first_add = time.perf_counter() - start
    handle.sync()

    print(f"[write] faiss IVFRaBitQ, train + add {n} rows ...", flush=True)
    faiss.omp_set_num_threads(os.cpu_count() or 1)
    ivf = faiss.IndexIVFRaBitQ(faiss.IndexFlatL2(base.shape[1]), base.shape[1], nlist,
                               faiss.METRIC_L2, True, args.n_bits)
    ivf.train(base)
    ivf.add(base)

    # Prepared arguments: bytes and id strings for nimbrel, (1, dim) arrays
    # for faiss. Every nimbrel add is a new id (no upsert).
    per_round_adds = durable + 2 * fast
    need = 1 + rounds * per_round_adds
    if need > len(pool) or rounds * per_round_adds > n:
        raise SystemExit(f"not enough rows: {need} adds from {len(pool)}, "
                         f"{rounds * per_round_adds} deletes from {n}")
    add_rows = [r.tobytes() for r in pool[1:need]]
    add_ids = [f"a{i}" for i in range(len(add_rows))]
    faiss_rows = [r.reshape(1, -1) for r in pool[1:1 + fast]]
    delete_ids = [str(i) for i in np.random.default_rng(1).permutation(n)[:rounds * per_round_adds]]
    floor_path = work / "write-fsync-floor.bin"
    floor_fd = os.open(floor_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_APPEND, 0o644)
    floor_buf = b"\x5a" * FLOOR_WRITE_BYTES

    cursor = {"add": 0, "delete": 0}

    def nimbrel_pass(kind, policy, count):
        set_policy(handle, policy)
        handle.sync()  # nothing pending from the pass before
        at = cursor[kind]
        cursor[kind] += count
        syncs = handle.wal_sync_count()
        live = handle.count()
        if kind == "add":
            add, ids, rows = handle.add, add_ids[at:at + count], add_rows[at:at + count]
            start = time.perf_counter()
            for i, v in zip(ids, rows):
                add(i, v)
            seconds = time.perf_counter() - start
            assert handle.count() == live + count
        else:
            delete, ids = handle.delete, delete_ids[at:at + count]
            start = time.perf_counter()
            for i in ids:
                delete(i)
            seconds = time.perf_counter() - start
            assert handle.count() == live - count, "a delete found no live row"
        return {"ops": count, "seconds": seconds, "log_flushes": handle.wal_sync_count() - syncs}

    def faiss_pass():
        # One thread: a one-row add has nothing to spread over cores, and
        # waking an OpenMP team for each row only slows it (by orders of
        # magnitude when other work keeps the cores busy).
        faiss.omp_set_num_threads(1)
        add = ivf.add
        start = time.perf_counter()
        for row in faiss_rows:
            add(row)
        return {"ops": len(faiss_rows), "seconds": time.perf_counter() - start}

    def floor_pass():
        write, fsync = os.write, os.fsync
        start = time.perf_counter()
        for _ in range(durable):
            write(floor_fd, floor_buf)
            fsync(floor_fd)
        return {"ops": durable, "seconds": time.perf_counter() - start}

    contenders = {}
    for policy in DURABILITY:
        count = durable if DURABILITY[policy] == (1, 0) else fast
        contenders[f"add, {policy}"] = lambda p=policy, c=count: nimbrel_pass("add", p, c)
    contenders[FAISS_ADD] = faiss_pass
    contenders[FSYNC_LOOP] = floor_pass
    for policy in DURABILITY:
        count = durable if DURABILITY[policy] == (1, 0) else fast
        contenders[f"delete, {policy}"] = lambda p=policy, c=count: nimbrel_pass("delete", p, c)

    passes = {name: [] for name in contenders}
    try:
        for r in range(rounds):
            print(f"[write] round {r + 1}/{rounds} ...", flush=True)
            for name, run in contenders.items():
                passes[name].append(run())
    finally:
        os.close(floor_fd)
        floor_path.unlink(missing_ok=True)
    handle.close()

    rates = {name: best([p["ops"] / p["seconds"] for p in runs], max) for name, runs in passes.items()}
    ratios, ratios_fastest = {}, {}
    for key, (mine, baseline) in WRITE_RATIOS.items():
        # Each round's two passes ran a second or so apart, under the same
        # load: the median of the per-round ratios is what the target is
        # checked on; the ratio of the fastest passes is printed beside it.
        per_round = sorted(a["ops"] / a["seconds"] / (b["ops"] / b["seconds"])
                           for a, b in zip(passes[mine], passes[baseline]))
        ratios[key] = statistics.median(per_round)
        ratios_fastest[key] = ratio(rates[mine], rates[baseline])
    return {"rows": n, "nlist": nlist, "build_seconds": build_seconds,
            "first_add_seconds": first_add, "rates": rates, "passes": passes,
            "ratios": ratios, "ratios_of_fastest_passes": ratios_fastest,
            "floor_write_bytes": FLOOR_WRITE_BYTES}


# ----------------------------------------------------------------- replay
#
# The opens run in child processes (one after another, with the inherited
# environment, so on all cores), each handle fresh: its constructor opens the
# segment and replays the log. A child that does not finish within
# OPEN_TIMEOUT_SECONDS is killed and reported as hung; the measurement goes
# on with a new child, at most MAX_HUNG_CHILDREN times.

OPEN_TIMEOUT_SECONDS = 60
MAX_HUNG_CHILDREN = 3


def open_child(args):
    """Worker: `--repeats` timed opens of `--index-dir`, then `flush()` if
    asked; one JSON line per step."""
    import nimbrel
    query = [0.0] * args.dim
    for _ in range(args.repeats):
        start = time.perf_counter()
        handle = nimbrel.ZevireDarir(args.index_dir, args.dim, n_bits=args.n_bits)
        handle.search(query, 1, 1, 10)  # the segment is surely loaded
        seconds = time.perf_counter() - start
        print(json.dumps({"open_seconds": seconds, "count": handle.count()}), flush=True)
        handle.close()
        del handle
    if args.flush:
        handle = nimbrel.ZevireDarir(args.index_dir, args.dim, n_bits=args.n_bits)
        start = time.perf_counter()
        handle.flush()
        seconds = time.perf_counter() - start
        handle.close()
        print(json.dumps({"flush_seconds": seconds}), flush=True)


def child_opens(path, dim, n_bits, repeats, flush=False):
    """Runs open children until `repeats` opens (and the flush, if asked)
    were measured; returns (open seconds, counts, flush seconds, hung children)."""
    times, counts, flush_seconds, hung = [], [], None, []
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")  # no idle BLAS threads in the child
    while (len(times) < repeats or (flush and flush_seconds is None)) and len(hung) < MAX_HUNG_CHILDREN:
        argv = [sys.executable, str(Path(__file__).resolve()), "--worker", "open",
                "--index-dir", str(path), "--dim", str(dim), "--n-bits", str(n_bits),
                "--repeats", str(repeats - len(times))]
        if flush and flush_seconds is None:
            argv.append("--flush")
        proc = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            out, err = proc.communicate(timeout=OPEN_TIMEOUT_SECONDS)
            timed_out = False
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
            timed_out = True
        done = 0
        for line in out.splitlines():
            step = json.loads(line)
            if "open_seconds" in step:
                times.append(step["open_seconds"])
                counts.append(step["count"])
                done += 1
            else:
                flush_seconds = step["flush_seconds"]
        if timed_out:
            hung.append({"after_opens": done, "timeout_seconds": OPEN_TIMEOUT_SECONDS})
            print(f"[replay] a child opening {path.name} hung after {done} open(s): "
                  f"killed after {OPEN_TIMEOUT_SECONDS} s", flush=True)
        elif proc.returncode != 0:
            tail = err.strip().splitlines()[-1] if err.strip() else "(no output)"
            raise RuntimeError(f"open child failed with status {proc.returncode}: {tail}")
    return times, counts, flush_seconds, hung


def part_replay(nimbrel, data, cfg, args, work):
    n, ops, repeats = cfg["write_rows"], cfg["replay_ops"], cfg["open_repeats"]
    base, extra = data.base[:n], data.base[n:n + ops]
    dim, nlist = base.shape[1], max(1, round(math.sqrt(n)))
    path = work / "replay-seg"
    print(f"[replay] build {n} rows, then {ops} adds into the log ...", flush=True)
    handle, _ = build_segment(nimbrel, path, base, [str(i) for i in range(n)], nlist, args.n_bits)
    empty, _, _, hung_empty = child_opens(path, dim, args.n_bits, repeats)

    # The building handle still holds the segment it built: its adds reopen
    # nothing (the children's opens changed no file).
    handle.set_durability(BULK_INTERVAL)
    rows = [r.tobytes() for r in extra]
    add = handle.add
    start = time.perf_counter()
    for i, v in enumerate(rows):
        add(f"r{i}", v)
    load_seconds = time.perf_counter() - start
    handle.sync()
    handle.close()
    del handle
    wal_bytes = (path / "wal.bin").stat().st_size

    print("[replay] opens with the log, flush, opens after the flush ...", flush=True)
    logged, counts, flush_seconds, hung_log = child_opens(path, dim, args.n_bits, repeats, flush=True)
    assert all(c == n + ops for c in counts), (counts, n + ops)
    flushed, counts, _, hung_flushed = [], [], None, []
    if flush_seconds is not None:
        flushed, counts, _, hung_flushed = child_opens(path, dim, args.n_bits, repeats)
        assert all(c == n + ops for c in counts), (counts, n + ops)
    empty_open, log_open, flushed_open = best(empty), best(logged), best(flushed)
    return {"rows": n, "ops": ops, "wal_bytes": wal_bytes,
            "open_empty_log_seconds": empty_open, "open_log_seconds": log_open,
            "open_after_flush_seconds": flushed_open,
            "open_all": {"empty_log": empty, "log": logged, "after_flush": flushed},
            "hung_children": {"empty_log": hung_empty, "log": hung_log, "after_flush": hung_flushed},
            "replay_ops_per_second": ratio(ops, log_open),
            "replay_ops_per_second_net": ratio(ops, log_open - empty_open)
            if log_open and empty_open and log_open > empty_open else None,
            "bulk_add_ops_per_second": ops / load_seconds,
            "flush_seconds": flush_seconds}


# ---------------------------------------------------------------- compact

def part_compact(nimbrel, data, cfg, args, work):
    n, rounds = cfg["compact_rows"], cfg["compact_rounds"]
    base = data.base[:n]
    nlist = max(1, round(math.sqrt(n)))
    ids = [str(i) for i in range(n)]
    dead = np.random.default_rng(2).choice(n, size=round(n * TOMBSTONED), replace=False)
    keep = np.ones(n, dtype=bool)
    keep[dead] = False
    live_rows = np.ascontiguousarray(base[keep])
    live_ids = [str(i) for i in np.flatnonzero(keep)]
    dead_ids = [str(i) for i in dead]
    path, live_path = work / "compact-seg", work / "compact-live-build"

    runs = {"build all rows": [], "delete 10 %": [], "flush": [], "compact": [], "rebuild": [],
            "build live rows": []}
    for r in range(rounds):
        print(f"[compact] round {r + 1}/{rounds}: build {n} rows, {nlist} lists ...", flush=True)
        handle, seconds = build_segment(nimbrel, path, base, ids, nlist, args.n_bits)
        runs["build all rows"].append(seconds)
        handle.set_durability(BULK_INTERVAL)
        delete = handle.delete
        start = time.perf_counter()
        for i in dead_ids:
            delete(i)
        runs["delete 10 %"].append(time.perf_counter() - start)
        start = time.perf_counter()
        handle.flush()  # the tombstones in deleted.bin: compact measures itself, not a replay
        runs["flush"].append(time.perf_counter() - start)
        print("[compact] compact, rebuild ...", flush=True)
        start = time.perf_counter()
        handle.compact()
        runs["compact"].append(time.perf_counter() - start)
        stats_compacted = handle.stats()
        assert tuple(stats_compacted)[:3] == (len(live_ids), 0, 0), stats_compacted
        start = time.perf_counter()
        handle.rebuild(nlist)
        runs["rebuild"].append(time.perf_counter() - start)
        assert handle.count() == len(live_ids)
        handle.close()
        del handle
        print(f"[compact] build the {len(live_ids)} live rows ...", flush=True)
        handle, seconds = build_segment(nimbrel, live_path, live_rows, live_ids, nlist, args.n_bits)
        runs["build live rows"].append(seconds)
        handle.close()
        del handle
        fresh_dir(live_path)
    fresh_dir(path)
    secs = {name: min(v) for name, v in runs.items()}
    return {"rows": n, "live_rows": len(live_ids), "nlist": nlist, "seconds": secs, "all_rounds": runs,
            "ratios": {"compact_vs_build": ratio(secs["compact"], secs["build live rows"]),
                       "compact_vs_build_all_rows": ratio(secs["compact"], secs["build all rows"]),
                       "rebuild_vs_build": ratio(secs["rebuild"], secs["build live rows"])}}


# ----------------------------------------------------------------- search

def part_search(nimbrel, data, cfg, args, work):
    n = cfg["search_rows"]
    base, queries = data.base[:n], data.queries[:cfg["queries"]]
    n_delta = round(n * DELTA_SHARE)
    n_main = n - n_delta
    nlist = max(1, round(math.sqrt(n)))
    nprobes = [p for p in SEARCH_NPROBES if p <= nlist] or [nlist]
    delta_path, compact_path = work / "search-delta", work / "search-compacted"
    print(f"[search] build {n_main} rows, add {n_delta}, {nlist} lists ...", flush=True)
    handle, _ = build_segment(nimbrel, delta_path, base[:n_main], [str(i) for i in range(n_main)],
                              nlist, args.n_bits)
    handle.set_durability(BULK_INTERVAL)
    for i in range(n_main, n):
        handle.add(str(i), base[i].tobytes())
    handle.flush()  # the added rows in delta.bin: the query child loads rather than replays them
    delta_stats = tuple(handle.stats())
    handle.close()
    del handle
    fresh_dir(compact_path)
    shutil.copytree(delta_path, compact_path)
    handle = nimbrel.ZevireDarir(str(compact_path), base.shape[1], n_bits=args.n_bits)
    handle.compact()
    compact_stats = tuple(handle.stats())
    handle.close()
    del handle
    assert delta_stats[:2] == (n_main, n_delta) and compact_stats[:2] == (n, 0), \
        (delta_stats, compact_stats)

    print(f"[search] ground truth, {len(queries)} queries ...", flush=True)
    truth = bench.exact_top_k(base, queries)
    print(f"[search] single-thread sweeps, nprobe {', '.join(map(str, nprobes))} ...", flush=True)
    # bench.py's sweep: passes take turns until each searcher spent
    # MIN_TIMED_SECONDS (at most MAX_PASSES rounds); the fastest pass counts.
    # More of them than bench.py's defaults: the two contenders here are
    # nearly equal, one pass at a large nprobe lasts most of a second, and
    # the target is checked at every nprobe, so noise must stay well below
    # the margin.
    bench.MIN_TIMED_SECONDS = cfg["search_min_seconds"]
    bench.MAX_PASSES = cfg["search_max_passes"]
    searchers = {}
    try:
        for name, path in (("delta", delta_path), ("compacted", compact_path)):
            child_dir = work / f"search-child-{name}"
            child_dir.mkdir(exist_ok=True)
            searchers[name] = bench.NimbrelSearcher(child_dir, path, queries, args.n_bits,
                                                    args.rerank, max(nprobes))
        sweep = bench.interleaved_sweep(searchers, nprobes, truth)
    finally:
        for searcher in searchers.values():
            searcher.close()
    rows = []
    for d, c in zip(sweep["delta"], sweep["compacted"]):
        rows.append({"nprobe": d["nprobe"], "delta": d, "compacted": c,
                     "qps_ratio": ratio(d["qps"], c["qps"]),
                     "recall_diff": d["recall"] - c["recall"]})
    return {"rows": n, "delta_rows": n_delta, "nlist": nlist, "queries": len(queries),
            "rerank": args.rerank, "sweep": rows,
            "min_seconds_per_nprobe": cfg["search_min_seconds"], "max_passes": cfg["search_max_passes"],
            "qps_ratio_geometric_mean": math.exp(sum(math.log(r["qps_ratio"]) for r in rows) / len(rows)),
            "ratios": {"search_delta_qps_vs_compacted": min(r["qps_ratio"] for r in rows),
                       "search_delta_recall_minus_compacted": min(r["recall_diff"] for r in rows)}}


# -------------------------------------------------------------- contended

CONTENDED_READERS = 4
SPARSE_TERMS = 1_000     # vocabulary of the sparse rows and queries
SPARSE_PER_ROW = 8
SPARSE_PER_QUERY = 4
HYBRID_ARGS = {"nprobe": 64, "rerank": 500}
# A writer the readers starve out could wait for ever: after this long the
# searches are stopped, which lets it in, and the timed writes end there
# (the report says how many were made).
CONTENDED_DEADLINE_SECONDS = 60


def part_contended(nimbrel, data, cfg, args, work):
    """add and delete latency alone, then beside CONTENDED_READERS threads
    of back-to-back search_hybrid calls; durability interval 1000, so a
    write's time is its locks and its work, not the disk."""
    n, ops = cfg["contended_rows"], cfg["contended_ops"]
    rng = np.random.default_rng(3)
    base, extra = data.base[:n], data.base[n:n + 2 * ops]
    sparse = [[(int(t), float(w)) for t, w in zip(rng.choice(SPARSE_TERMS, SPARSE_PER_ROW, replace=False),
                                                  rng.random(SPARSE_PER_ROW) + 0.1)] for _ in range(n)]
    nlist = max(1, round(math.sqrt(n)))
    print(f"[contended] build {n} x {base.shape[1]} with sparse terms, {nlist} lists ...", flush=True)
    path = work / "contended-seg"
    fresh_dir(path)
    handle = nimbrel.ZevireDarir(str(path), base.shape[1], n_bits=args.n_bits)
    handle.build(base.tobytes(), n, [str(i) for i in range(n)], ["null"] * n, nlist, seed=BUILD_SEED,
                 sparse=sparse)
    handle.set_durability(1000)
    queries = [(q.tobytes(), [(int(t), 1.0) for t in rng.choice(SPARSE_TERMS, SPARSE_PER_QUERY, replace=False)])
               for q in data.queries[:64]]

    def hybrid(i):
        dense, terms = queries[i % len(queries)]
        return handle.search_hybrid(dense, terms, 10, **HYBRID_ARGS)

    for i in range(20):
        hybrid(i)  # warm
    calls = []
    for i in range(200):
        start = time.perf_counter()
        hybrid(i)
        calls.append(time.perf_counter() - start)
    reader_call = statistics.median(calls)

    rows = [r.tobytes() for r in extra]
    cursor = {"add": 0, "delete": 0}

    def timed(kind):
        out, deadline = [], time.perf_counter() + CONTENDED_DEADLINE_SECONDS
        for _ in range(ops):
            if time.perf_counter() > deadline:
                break
            at = cursor[kind]
            cursor[kind] += 1
            start = time.perf_counter()
            if kind == "add":
                handle.add(f"c{at}", rows[at])
            else:
                assert handle.delete(str(at)), "a delete found no live row"
            out.append(time.perf_counter() - start)
        return out

    def summary(seconds):
        return {"ops": len(seconds), "median": statistics.median(seconds),
                "p99": float(np.percentile(seconds, 99)), "max": max(seconds)}

    res = {"rows": n, "nlist": nlist, "readers": CONTENDED_READERS, "ops": ops, "hybrid": HYBRID_ARGS,
           "reader_call_seconds": reader_call}
    for kind in ("add", "delete"):
        print(f"[contended] {ops} x {kind}, idle ...", flush=True)
        res[f"{kind}_idle"] = summary(timed(kind))
        stop, done = threading.Event(), [0] * CONTENDED_READERS

        def reader(t):
            i = t
            while not stop.is_set():
                hybrid(i)
                i += CONTENDED_READERS
                done[t] += 1

        print(f"[contended] {ops} x {kind} beside {CONTENDED_READERS} search_hybrid threads ...", flush=True)
        threads = [threading.Thread(target=reader, args=(t,)) for t in range(CONTENDED_READERS)]
        for t in threads:
            t.start()
        while min(done) < 3:
            time.sleep(0.01)
        watchdog = threading.Timer(CONTENDED_DEADLINE_SECONDS, stop.set)
        watchdog.start()
        start, before = time.perf_counter(), sum(done)
        res[f"{kind}_under_readers"] = summary(timed(kind))
        res[f"{kind}_reader_calls_per_second"] = (sum(done) - before) / (time.perf_counter() - start)
        watchdog.cancel()
        stop.set()
        for t in threads:
            t.join()
    handle.close()
    res["ratios"] = {"add_p99_under_readers_vs_reader_call": res["add_under_readers"]["p99"] / reader_call}
    return res


# ------------------------------------------------------------------ report

def verdict(key, value):
    if key not in TARGETS or value is None:
        return "", ""
    op, bound, shown = TARGETS[key]
    ok = value >= bound if op == ">=" else value <= bound
    return f"{op} {shown}", "ok" if ok else "MISSED"


def ms(seconds):
    return "-" if seconds is None else f"{seconds * 1e3:,.1f} ms"


def print_row(label, value, baseline, key, value_fmt):
    target, status = verdict(key, value)
    shown = "-" if value is None else format(value, value_fmt)
    print(f"   {label:<44} {shown:>10}   {baseline:<44} {target:>9} {status}")


def print_report(res):
    m = res["machine"]
    print()
    print(f"== nimbrel write path{' (quick)' if res['quick'] else ''}: n_bits={res['n_bits']}, "
          f"dim {res['dim']}, Gaussian mixture rows (bench/datasets.py)")
    print(f"   machine: {m['nproc']} cores (nproc), {m['arch']}, {m['processor']}; "
          f"load average {m['load_average_at_start'][0]:.2f} at start; "
          f"segments on {m['filesystem']}")
    if m["load_average_at_start"][0] > 0.5 * m["nproc"]:
        print("   warning: the machine was busy at start; all-core numbers are skewed")

    w = res.get("write")
    if w:
        r = w["rates"]
        print(f"\n   add / delete, one row per call from Python, into a {w['rows']}-row segment "
              f"({w['nlist']} lists), ops/s (fastest of {len(next(iter(w['passes'].values())))} passes)")
        print(f"   {'contender':<44} {'ops/s':>10}   {'log flushes / pass':<20}")
        for name, runs in w["passes"].items():
            last = runs[-1]
            flushes = "" if "log_flushes" not in last else f"{last['log_flushes']} per {last['ops']} ops"
            print(f"   {name:<44} {r[name]:>10,.0f}   {flushes}")
        print(f"   first add of the segment (prepares the nearest-centroid ranker): "
              f"{w['first_add_seconds'] * 1e3:.1f} ms")
        print(f"\n   {'ratio (median of the per-round ratios)':<44} {'value':>10}   "
              f"{'fastest':>7}   {'target':>9}")
        labels = {
            "add_interval_1000_vs_faiss_add": "add interval 1000 / faiss one-row add",
            "add_interval_1_vs_write_fsync": f"add interval 1 / write {w['floor_write_bytes']} B + fsync",
            "add_wal_sync_ms_10_vs_interval_1000": "add wal_sync_ms 10 / add interval 1000",
            "delete_interval_1_vs_write_fsync": f"delete interval 1 / write {w['floor_write_bytes']} B + fsync",
            "delete_wal_sync_ms_10_vs_interval_1000": "delete wal_sync_ms 10 / delete interval 1000",
            "delete_interval_1000_vs_faiss_add": "delete interval 1000 / faiss add (reference)",
        }
        for key, label in labels.items():
            target, status = verdict(key, w["ratios"][key])
            print(f"   {label:<44} {w['ratios'][key]:>10.2f}   "
                  f"{w['ratios_of_fastest_passes'][key]:>7.2f}   {target:>9} {status}")

    p = res.get("replay")
    if p:
        print(f"\n   replay: {p['rows']}-row segment, log of {p['ops']} adds "
              f"({p['wal_bytes'] / 2**20:.1f} MiB); open = fresh handle + one search in a child "
              f"process, all cores, fastest of {len(p['open_all']['log'])}, page cache warm")
        print(f"   open, empty log {ms(p['open_empty_log_seconds'])}; "
              f"open, log of {p['ops']} adds {ms(p['open_log_seconds'])}; "
              f"after flush() {ms(p['open_after_flush_seconds'])} "
              f"(the flush itself {ms(p['flush_seconds'])})")
        for step, hung in p["hung_children"].items():
            for h in hung:
                print(f"   HUNG: a child opening the segment ({step.replace('_', ' ')}) made no "
                      f"progress for {h['timeout_seconds']} s after {h['after_opens']} open(s); killed")
        print_row("replay, ops/s (log open time)", p["replay_ops_per_second"],
                  f"{p['ops']} adds / open time", "replay_ops_per_second", ",.0f")
        print_row("replay, ops/s (minus the empty-log open)", p["replay_ops_per_second_net"],
                  "", "", ",.0f")
        print_row("open after flush / open with the log",
                  ratio(p["open_after_flush_seconds"], p["open_log_seconds"]), "", "", ".2f")
        print(f"   (for scale: loading the log, add at interval {BULK_INTERVAL:,}: "
              f"{p['bulk_add_ops_per_second']:,.0f} ops/s)")

    c = res.get("compact")
    if c:
        s = c["seconds"]
        print(f"\n   compaction: {c['rows']} rows, {c['rows'] - c['live_rows']} tombstoned "
              f"(checkpointed), {c['nlist']} lists; all cores, fastest of "
              f"{len(c['all_rounds']['compact'])}, seconds:")
        print("   " + ", ".join(f"{k} {v:.2f}" for k, v in s.items()))
        x = c["ratios"]
        print_row("compact / build of the live rows", x["compact_vs_build"],
                  f"build {c['live_rows']} rows {s['build live rows']:.2f} s", "compact_vs_build", ".2f")
        print_row("compact / build of all rows", x["compact_vs_build_all_rows"],
                  f"build {c['rows']} rows {s['build all rows']:.2f} s", "", ".2f")
        print_row("rebuild / build of the live rows", x["rebuild_vs_build"],
                  f"build {c['live_rows']} rows {s['build live rows']:.2f} s", "", ".2f")

    s = res.get("search")
    if s:
        print(f"\n   search: {s['rows']} rows, {s['delta_rows']} of them in the delta, against the "
              f"same segment compacted; {s['nlist']} lists, {s['queries']} queries, k=10, "
              f"rerank={s['rerank']}, single thread; per nprobe the fastest of up to "
              f"{s['max_passes']} passes, each contender timed for {s['min_seconds_per_nprobe']:g} s or more")
        print(f"   {'nprobe':>6} | {'delta R@10 / QPS':>24} | {'compacted R@10 / QPS':>24} | "
              f"{'QPS ratio':>9} | {'R@10 diff':>9}")
        for row in s["sweep"]:
            d, cc = row["delta"], row["compacted"]
            print(f"   {row['nprobe']:>6} | {d['recall']:>8.4f} / {d['qps']:>13,.0f} | "
                  f"{cc['recall']:>8.4f} / {cc['qps']:>13,.0f} | {row['qps_ratio']:>8.2f}x | "
                  f"{row['recall_diff']:>+9.4f}")
        x = s["ratios"]
        print_row("delta QPS / compacted QPS (lowest nprobe row)", x["search_delta_qps_vs_compacted"],
                  "same nprobe", "search_delta_qps_vs_compacted", ".2f")
        print_row("delta QPS / compacted QPS (geometric mean)", s["qps_ratio_geometric_mean"],
                  "over the nprobe rows", "", ".2f")
        print_row("delta R@10 - compacted R@10 (lowest)", x["search_delta_recall_minus_compacted"],
                  "same nprobe", "search_delta_recall_minus_compacted", "+.4f")

    c = res.get("contended")
    if c:
        print(f"\n   contended: {c['rows']}-row segment with sparse terms, {c['nlist']} lists; "
              f"one search_hybrid (k=10, nprobe={c['hybrid']['nprobe']}, rerank={c['hybrid']['rerank']}) "
              f"takes {c['reader_call_seconds'] * 1e3:.2f} ms alone; {c['ops']} writes timed one by one, "
              f"durability interval 1000")
        print(f"   {'write':<44} {'median':>10} {'p99':>10} {'max':>10}   {'searches/s meanwhile':>20}")
        for kind in ("add", "delete"):
            for where, label in (("idle", "idle"), ("under_readers", f"beside {c['readers']} search_hybrid threads")):
                x = c[f"{kind}_{where}"]
                rate = "" if where == "idle" else f"{c[f'{kind}_reader_calls_per_second']:,.0f}"
                if x["ops"] < c["ops"]:
                    label += f" (only {x['ops']} in {CONTENDED_DEADLINE_SECONDS} s)"
                print(f"   {kind + ', ' + label:<44} {x['median'] * 1e3:>7.2f} ms {x['p99'] * 1e3:>7.2f} ms "
                      f"{x['max'] * 1e3:>7.2f} ms   {rate:>20}")
        print_row("add p99 beside readers / one search_hybrid", c["ratios"]["add_p99_under_readers_vs_reader_call"],
                  "", "add_p99_under_readers_vs_reader_call", ".1f")


# -------------------------------------------------------------------- main

def filesystem_of(path: Path):
    """'<device> (<type>)' of the mount holding `path`."""
    best_mount, desc = "", "?"
    try:
        for line in Path("/proc/mounts").read_text().splitlines():
            dev, mount, kind = line.split()[:3]
            if str(path).startswith(mount.rstrip("/") + "/") and len(mount) > len(best_mount):
                best_mount, desc = mount, f"{dev} ({kind}, mounted at {mount})"
    except OSError:
        pass
    return desc


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="small sizes, for a smoke test")
    p.add_argument("--only", default=",".join(PARTS),
                   help=f"comma-separated parts to run (default: {','.join(PARTS)})")
    p.add_argument("--n-bits", type=int, default=2, help="bits per dimension (default 2)")
    p.add_argument("--rerank", type=int, default=200,
                   help="rerank count of the search part (default 200, as bench.py)")
    p.add_argument("--keep", action="store_true",
                   help="keep the segments of the run in the work directory (default: removed)")
    p.add_argument("--work-dir", default=None,
                   help="where the segments go (default bench/.cache/write[-quick]); "
                        "the fsync baseline writes there too")
    # Internal: the open child of the replay part.
    p.add_argument("--worker", choices=("open",), help=argparse.SUPPRESS)
    p.add_argument("--index-dir", help=argparse.SUPPRESS)
    p.add_argument("--dim", type=int, help=argparse.SUPPRESS)
    p.add_argument("--repeats", type=int, help=argparse.SUPPRESS)
    p.add_argument("--flush", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args()
    args.parts = [x.strip() for x in args.only.split(",") if x.strip()]
    unknown = set(args.parts) - set(PARTS)
    if unknown:
        p.error(f"unknown part(s) {', '.join(sorted(unknown))}; choose from {', '.join(PARTS)}")
    return args


def main():
    args = parse_args()
    if args.worker:
        open_child(args)
        return
    cfg = QUICK if args.quick else FULL
    if os.environ.get("RAYON_NUM_THREADS"):
        print(f"note: RAYON_NUM_THREADS={os.environ['RAYON_NUM_THREADS']} is set: builds, "
              "compaction and replay run on that many threads", flush=True)
    import nimbrel
    work = Path(args.work_dir or CACHE_DIR / f"write{'-quick' if args.quick else ''}").resolve()
    work.mkdir(parents=True, exist_ok=True)

    datasets = bench.load_datasets_module()
    need = {"write": cfg["write_rows"] + 1 + cfg["write_rounds"] * (cfg["durable_ops"] + 2 * cfg["fast_ops"]),
            "replay": cfg["write_rows"] + cfg["replay_ops"],
            "compact": cfg["compact_rows"], "search": cfg["search_rows"],
            "contended": cfg["contended_rows"] + 2 * cfg["contended_ops"]}
    pool = max(need[p] for p in args.parts)
    print(f"Gaussian mixture, {pool} rows + {cfg['queries']} queries ...", flush=True)
    data = datasets.gaussian_mixture(pool, cfg["queries"])

    res = {"quick": args.quick, "n_bits": args.n_bits, "dim": data.dim, "sizes": cfg,
           "machine": {"nproc": os.cpu_count(), "arch": platform.machine(),
                       "processor": bench.cpu_model(), "python": platform.python_version(),
                       "load_average_at_start": os.getloadavg(),
                       "filesystem": filesystem_of(work)},
           "env": {k: os.environ.get(k) for k in ("RAYON_NUM_THREADS", "OMP_NUM_THREADS")},
           "version": getattr(nimbrel, "__version__", None), "targets": TARGETS}
    started = time.perf_counter()
    if "write" in args.parts:
        import faiss
        res["faiss_version"] = faiss.__version__
        res["write"] = part_write(nimbrel, faiss, data, cfg, args, work)
    if "replay" in args.parts:
        res["replay"] = part_replay(nimbrel, data, cfg, args, work)
    if "compact" in args.parts:
        res["compact"] = part_compact(nimbrel, data, cfg, args, work)
    if "search" in args.parts:
        res["search"] = part_search(nimbrel, data, cfg, args, work)
    if "contended" in args.parts:
        res["contended"] = part_contended(nimbrel, data, cfg, args, work)
    res["wall_seconds"] = time.perf_counter() - started
    if not args.keep:
        for name in SEGMENT_DIRS:
            fresh_dir(work / name)
        for name in ("search-child-delta", "search-child-compacted"):
            shutil.rmtree(work / name, ignore_errors=True)

    print_report(res)
    out = CACHE_DIR / f"results-write{'-quick' if args.quick else ''}.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(res, indent=2) + "\n")
    print(f"\n   {res['wall_seconds']:.0f} s; written {out}")


if __name__ == "__main__":
    main()
