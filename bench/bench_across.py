"""Work across segments: merge, distances over a column of segments, nprobe calibration, search beside maintenance.

    python bench/bench_across.py [--quick] [--only merge,distances,calibrate,live]

Four parts, each printed beside the target it should meet:

- merge: `merge_segments` of four segments of 250,000 rows into one, against
  `build` of the same 1,000,000 rows (dim 128, Gaussian mixture), each in a
  child process of its own with the inherited environment (all cores), so
  that the child's peak resident memory (VmHWM) belongs to that one call;
  the resident memory just before the call is printed beside it, since the
  build child holds its 512 MB of input floats. A merge with the
  maintenance pool as large as the shared one is printed as a reference;
- distances: `ZevireDarir.distances_to_many` of one query to 10,000 ids
  spread over three segments (1 % of them in none), ids per second on one
  thread and on all cores, against what a host would do without it:
  `get_vectors` of the ids still missing from each segment in turn, newest
  first, then numpy's squared L2 distance, on one thread;
- calibrate: `calibrate_nprobe` with 100 samples on the 1,000,000-row
  segment, in the foreground and with background=True, for target recalls
  0.9 and 0.95 at k = 10; then the recall@10 the chosen nprobe actually
  gives held-out queries of the same mixture, against an exact numpy search;
- live: single-thread `search` QPS on a 250,000-row segment, one query at a
  time from one Python thread, in a child whose pools have their full size,
  while idle, while a merge of three other segments runs in another thread
  of that process, and while calibrations of the 1,000,000-row segment run
  there in the background. Only queries that finish while the maintenance
  call is under way count.

Timed calls repeat and the fastest counts; single-thread figures come from
children with RAYON_NUM_THREADS=1 (nimbrel sizes its pools once per
process). The data, the four input segments, the 1,000,000-row build and the
ground truth are cached under bench/.cache/across-*/ (--fresh remakes them).

Results: tables on stdout and bench/.cache/results-across.json
(results-across-quick.json with --quick).
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
import threading
import time
import types
from pathlib import Path

import numpy as np

from bench_util import fresh_dir

BENCH_DIR = Path(__file__).resolve().parent
CACHE_DIR = BENCH_DIR / ".cache"
PARTS = ("merge", "distances", "calibrate", "live")

FULL = {"rows": 1_000_000, "inputs": 4, "queries": 1_000, "merge_rounds": 2, "lookup_ids": 10_000,
        "pass_seconds": 0.3, "passes": 10, "cal_rounds": 3, "exact_queries": 200,
        "live_window": 4.0, "live_rounds": 2}
QUICK = {"rows": 40_000, "inputs": 4, "queries": 200, "merge_rounds": 1, "lookup_ids": 10_000,
         "pass_seconds": 0.1, "passes": 3, "cal_rounds": 1, "exact_queries": 50,
         "live_window": 1.0, "live_rounds": 1}
DIM = 128
DATA_SEED = 20240611       # bench/datasets.py's mixture: 1,000 components
BUILD_SEED = 42
K = 10
MISSING_SHARE = 0.01       # distances part: ids held by no segment
CAL_SAMPLES, CAL_RERANK = 100, 500
CAL_TARGETS = (0.9, 0.95)
CAL_GRID = (1, 2, 4, 8, 16, 32, 64, 128, 256)
LIVE_NPROBE, LIVE_RERANK = 32, 200

TARGETS = {  # name -> (comparison, bound, as printed)
    "merge_vs_build": ("<=", 1.2, "1.20x"),
    "distances_speedup_1t": (">=", 5.0, "5.0x"),
    "calibrate_overstatement": ("<=", 0.02, "0.020"),
    "live_qps_vs_idle": (">=", 0.8, "0.80x"),
}


def load_private(name, path):
    """Loads a file of bench/ under a private module name (bench/datasets.py
    must not be importable as `datasets`)."""
    module = types.ModuleType(name)
    module.__file__ = str(path)
    sys.modules[name] = module  # dataclasses look the module up here
    exec(compile(path.read_text(encoding="utf-8"), str(path), "exec"), module.__dict__)
    return module


def ratio(a, b):
    return a / b if a is not None and b else None


def memory():
    """This process's resident and peak resident memory, MiB."""
    fields = dict(line.split(":", 1) for line in Path("/proc/self/status").read_text().splitlines() if ":" in line)
    return {k: int(fields[k].split()[0]) / 1024 for k in ("VmRSS", "VmHWM")}


def reset_peak():
    """Lowers VmHWM to the current resident size, so that the peak seen after a
    call is the call's and not that of loading its arguments."""
    try:
        Path("/proc/self/clear_refs").write_text("5")
        return True
    except OSError:
        return False


def best_passes(fns, pass_seconds, passes):
    """Timed passes of every fn taking turns; a pass repeats its call until it
    lasts pass_seconds. Returns {name: {"best": seconds per call, "passes": [...]}}."""
    reps = {}
    for name, fn in fns.items():
        fn()  # warm-up: faults in the memory-mapped files
        start = time.perf_counter()
        fn()
        reps[name] = max(1, math.ceil(pass_seconds / max(time.perf_counter() - start, 1e-6)))
    out = {name: [] for name in fns}
    for _ in range(passes):
        for name, fn in fns.items():
            start = time.perf_counter()
            for _ in range(reps[name]):
                fn()
            out[name].append((time.perf_counter() - start) / reps[name])
    return {name: {"best": min(p), "passes": p, "reps": reps[name]} for name, p in out.items()}


# ------------------------------------------------------------------ children
#
# A child runs one worker with the task the parent wrote and prints one JSON
# line. RAYON_NUM_THREADS decides its pool sizes.

def run_child(work, worker, task, threads=None):
    task_path = work / f"{worker}.task.json"
    task_path.write_text(json.dumps(task))
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None) if threads is None else env.update(RAYON_NUM_THREADS=str(threads))
    env.update(task.get("env", {}))
    proc = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--worker", worker,
                           "--task", str(task_path)], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True)
    if proc.returncode != 0:
        tail = proc.stderr.strip().splitlines()
        raise RuntimeError(f"{worker} child failed ({proc.returncode}): {tail[-1] if tail else '(no output)'}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def measured(call):
    """Seconds, resident memory before and peak resident memory during `call`.
    Not getrusage's ru_maxrss: a child starts with its parent's peak, which
    here is the ground truth's few GB."""
    reset_peak()
    before = memory()["VmRSS"]
    start = time.perf_counter()
    rows = call()
    return {"seconds": time.perf_counter() - start, "rss_before": before, "peak": memory()["VmHWM"], "rows": rows}


def worker_build(s, nimbrel):
    n = s["rows"]
    vectors = Path(s["base"]).read_bytes()  # the floats as build wants them, held once
    ids, metas = [f"r{i}" for i in range(n)], ["null"] * n
    handle = nimbrel.ZevireDarir(s["out"], DIM, n_bits=s["n_bits"])
    return measured(lambda: (handle.build(vectors, n, ids, metas, s["nlist"], seed=BUILD_SEED), handle.count())[1])


def worker_merge(s, nimbrel):
    return measured(lambda: nimbrel.merge_segments(s["out"], s["dirs"], [], 0, 0.0, [], None, s["n_bits"])[0])


def worker_distances(s, nimbrel):
    Z = nimbrel.ZevireDarir
    sources = [Z(d, DIM) for d in s["dirs"]]  # newest first
    ids, q = s["ids"], np.array(s["query"], dtype=np.float32)
    qb = q.tobytes()
    jobs = [(sources, ids, qb)]

    def host():
        out = np.full(len(ids), np.nan)
        todo = np.arange(len(ids))
        for seg in sources:
            vecs = seg.get_vectors([ids[i] for i in todo])
            hit = np.fromiter((len(v) > 0 for v in vecs), bool, len(vecs))
            if hit.any():
                d = np.array([v for v in vecs if v], dtype=np.float32) - q
                out[todo[hit]] = np.einsum("ij,ij->i", d, d)
            todo = todo[~hit]
            if not len(todo):
                break
        return out

    fns = {"distances_to_many": lambda: Z.distances_to_many(jobs)}
    if s["baseline"]:
        fns["get_vectors + numpy"] = host
    timed = best_passes(fns, s["pass_seconds"], s["passes"])
    got = np.array(Z.distances_to_many(jobs)[0])
    res = {"timing": timed, "nan": int(np.isnan(got).sum())}
    if s["baseline"]:
        want = host()
        both = ~np.isnan(want)
        res["same_missing"] = bool((np.isnan(got) == np.isnan(want)).all())
        res["max_rel_diff"] = float(np.max(np.abs(got[both] - want[both]) / np.maximum(want[both], 1e-30)))
    return res


def worker_calibrate(s, nimbrel):
    handle = nimbrel.ZevireDarir(s["dir"], DIM)
    handle.search(np.zeros(DIM, np.float32).tobytes(), 1, 1, 10)  # opened before the timing
    runs = {f"{t}/{mode}": [] for t in CAL_TARGETS for mode in ("foreground", "background")}
    chosen = {}
    for _ in range(s["rounds"]):
        for t in CAL_TARGETS:
            for mode in ("foreground", "background"):
                start = time.perf_counter()
                nprobe = handle.calibrate_nprobe(CAL_SAMPLES, K, t, list(CAL_GRID), rerank=CAL_RERANK,
                                                 background=mode == "background")
                runs[f"{t}/{mode}"].append(time.perf_counter() - start)
                chosen.setdefault(f"{t}/{mode}", set()).add(nprobe)
    queries = [q.tobytes() for q in np.load(s["queries"])]
    top = max(max(c) for c in chosen.values())
    found = {g: [[int(i[1:]) for i, _ in handle.search(q, K, g, CAL_RERANK)] for q in queries]
             for g in CAL_GRID if g <= 2 * top}
    # The segment's own exact answer (every list probed, every row reranked
    # against its 8-bit copy): what the calibration's samples are scored on.
    n = handle.count()
    exact = [[int(i[1:]) for i, _ in handle.search(q, K, 1 << 20, n)] for q in queries[:s["exact_queries"]]]
    return {"seconds": runs, "chosen": {k: sorted(v) for k, v in chosen.items()}, "found": found,
            "segment_exact": exact}


def worker_live(s, nimbrel):
    Z = nimbrel.ZevireDarir
    seg = Z(s["search_dir"], DIM)
    cal = Z(s["cal_dir"], DIM)
    cal.search(np.zeros(DIM, np.float32).tobytes(), 1, 1, 10)
    queries = [q.tobytes() for q in np.load(s["queries"])]
    search = seg.search
    for q in queries:  # faults in the probed lists
        search(q, K, LIVE_NPROBE, LIVE_RERANK)

    def merge():
        fresh_dir(Path(s["merge_out"]))
        nimbrel.merge_segments(s["merge_out"], s["merge_dirs"], [], 0, 0.0, [], None, s["n_bits"])

    def calibrate():
        cal.calibrate_nprobe(CAL_SAMPLES, K, 0.95, list(CAL_GRID), rerank=CAL_RERANK, background=True)

    def window(job):
        """Searches one query after another while `job` runs back to back in
        another thread until the window is full (or, without a job, for the
        window); returns the queries that finished while a call of the job
        was under way and the time the calls took."""
        stamps, spans, finished = [], [], threading.Event()

        def repeat():
            stop = time.perf_counter() + s["window"]
            while time.perf_counter() < stop or not spans:
                start = time.perf_counter()
                job()
                spans.append((start, time.perf_counter()))
            finished.set()

        if job is None:
            start = time.perf_counter()
            spans.append((start, start + s["window"]))
            threading.Timer(s["window"], finished.set).start()
        else:
            threading.Thread(target=repeat).start()
        i, n = 0, len(queries)
        while not finished.is_set():
            search(queries[i % n], K, LIVE_NPROBE, LIVE_RERANK)
            stamps.append(time.perf_counter())
            i += 1
        stamps = np.array(stamps)
        inside = sum(int(((stamps > a) & (stamps <= b)).sum()) for a, b in spans)
        seconds = sum(b - a for a, b in spans)
        return {"queries": inside, "seconds": seconds, "calls": len(spans), "qps": inside / seconds}

    out = []
    for _ in range(s["rounds"]):
        for name, job in (("idle", None), ("merge", merge), ("idle", None), ("calibrate", calibrate)):
            out.append(dict(window(job), phase=name))
    fresh_dir(Path(s["merge_out"]))
    return {"windows": out}


WORKERS = {"build": worker_build, "merge": worker_merge, "distances": worker_distances,
           "calibrate": worker_calibrate, "live": worker_live}


# ------------------------------------------------------------------- data

def done(segment: Path):
    """The marker of a cached segment whose build finished."""
    return segment.with_name(segment.name + ".done")


class Data:
    """The mixture rows (raw f32 file), held-out queries, their exact top 10 and
    the cached segments: in0..in3 (consecutive quarters of the rows) and `all`."""

    def __init__(self, cfg, args):
        n, m = cfg["rows"], cfg["inputs"]
        self.n, self.per, self.n_queries = n, n // m, cfg["queries"]
        self.dir = CACHE_DIR / f"across-{n}x{DIM}-q{self.n_queries}-b{args.n_bits}-s{DATA_SEED}"
        self.base, self.queries, self.truth = (self.dir / x for x in ("base.f32", "queries.npy", "truth.npy"))
        self.inputs = [self.dir / f"in{j}" for j in range(m)]
        self.all = self.dir / "all"
        if args.fresh and self.dir.exists():
            shutil.rmtree(self.dir)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.n_bits = args.n_bits

    def rows(self):
        return np.fromfile(self.base, dtype=np.float32).reshape(-1, DIM)

    def prepare(self, nimbrel, bench, want_inputs, want_all):
        if not self.truth.exists():
            print(f"[data] Gaussian mixture {self.n:,} x {DIM} and exact top {K} of the queries ...", flush=True)
            ds = load_private("nimbrel_bench_datasets", BENCH_DIR / "datasets.py")
            d = ds.gaussian_mixture(self.n, self.n_queries, dim=DIM, seed=DATA_SEED)
            d.base.tofile(self.base)
            np.save(self.queries, d.queries)
            np.save(self.truth, bench.exact_top_k(d.base, d.queries, K))
        if want_inputs and not all(done(p).exists() for p in self.inputs):
            base = self.rows()
            for j, path in enumerate(self.inputs):
                print(f"[data] input segment {j}: rows {j * self.per:,}..{(j + 1) * self.per - 1:,} ...", flush=True)
                done(path).unlink(missing_ok=True)
                h = nimbrel.ZevireDarir(str(fresh_dir(path)), DIM, n_bits=self.n_bits)
                lo = j * self.per
                h.build(base[lo:lo + self.per].tobytes(), self.per, [f"r{i}" for i in range(lo, lo + self.per)],
                        ["null"] * self.per, 0, seed=BUILD_SEED)
                h.close()
                done(path).write_text("")
        if want_all and not done(self.all).exists():
            print(f"[data] build of all {self.n:,} rows ...", flush=True)
            self.build_all(self.dir)

    def build_all(self, work):
        done(self.all).unlink(missing_ok=True)
        fresh_dir(self.all)
        r = run_child(work, "build", {"base": str(self.base), "rows": self.n, "out": str(self.all),
                                      "n_bits": self.n_bits, "nlist": math.isqrt(self.n)})
        done(self.all).write_text("")
        return r


# ------------------------------------------------------------------ parts

def part_merge(data, cfg, work):
    """build of all rows and merge of the four inputs, each in its own child,
    taking turns; the merge with a maintenance pool of the shared pool's size
    is a reference."""
    dirs = [str(p) for p in data.inputs]
    out = work / "merged"
    runs = {"build": [], "merge": [], "merge, full-size maintenance pool": []}
    for r in range(cfg["merge_rounds"]):
        print(f"[merge] round {r + 1}/{cfg['merge_rounds']}: build {data.n:,} rows ...", flush=True)
        runs["build"].append(data.build_all(work))
        for name, env in (("merge", {}), ("merge, full-size maintenance pool",
                                          {"NIMBREL_MAINT_THREADS": str(os.cpu_count())})):
            print(f"[merge] {name} ...", flush=True)
            fresh_dir(out)
            runs[name].append(run_child(work, "merge", {"out": str(out), "dirs": dirs, "n_bits": data.n_bits,
                                                        "env": env}))
    fresh_dir(out)
    best = {name: min(r["seconds"] for r in rs) for name, rs in runs.items()}
    return {"rows": data.n, "inputs": len(dirs), "runs": runs, "seconds": best,
            "peak_mib": {name: max(r["peak"] for r in rs) for name, rs in runs.items()},
            "rss_before_mib": {name: max(r["rss_before"] for r in rs) for name, rs in runs.items()},
            "rows_written": {name: sorted({r["rows"] for r in rs}) for name, rs in runs.items()},
            "ratios": {"merge_vs_build": ratio(best["merge"], best["build"]),
                       "merge_full_pool_vs_build": ratio(best["merge, full-size maintenance pool"], best["build"])}}


def part_distances(data, cfg, work):
    rng = np.random.default_rng(DATA_SEED + 1)
    n_ids = cfg["lookup_ids"]
    n_missing = round(n_ids * MISSING_SHARE)
    held = rng.choice(3 * data.per, n_ids - n_missing, replace=False)
    ids = [f"r{i}" for i in held] + [f"x{i}" for i in range(n_missing)]
    ids = [ids[i] for i in rng.permutation(n_ids)]
    task = {"dirs": [str(p) for p in data.inputs[2::-1]], "ids": ids,
            "query": np.load(data.queries)[0].tolist(), "pass_seconds": cfg["pass_seconds"], "passes": cfg["passes"]}
    print("[distances] one thread ...", flush=True)
    one = run_child(work, "distances", dict(task, baseline=True), threads=1)
    print("[distances] all cores ...", flush=True)
    every = run_child(work, "distances", dict(task, baseline=False))
    rate = {"distances_to_many, 1 thread": n_ids / one["timing"]["distances_to_many"]["best"],
            "distances_to_many, all cores": n_ids / every["timing"]["distances_to_many"]["best"],
            "get_vectors + numpy, 1 thread": n_ids / one["timing"]["get_vectors + numpy"]["best"]}
    host = rate["get_vectors + numpy, 1 thread"]
    return {"ids": n_ids, "missing": n_missing, "segments": 3, "rows_per_segment": data.per,
            "ids_per_second": rate, "one_thread": one, "all_cores": every,
            "ratios": {"distances_speedup_1t": ratio(rate["distances_to_many, 1 thread"], host),
                       "distances_speedup_all": ratio(rate["distances_to_many, all cores"], host)}}


def recall(found, truth):
    return float(np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found, truth)]))


def part_calibrate(data, cfg, work):
    print(f"[calibrate] {CAL_SAMPLES} samples on {data.n:,} rows, targets {CAL_TARGETS} ...", flush=True)
    r = run_child(work, "calibrate", {"dir": str(data.all), "queries": str(data.queries), "rounds": cfg["cal_rounds"],
                                      "exact_queries": cfg["exact_queries"]})
    truth = np.load(data.truth).tolist()
    curve = {int(g): recall(f, truth) for g, f in r["found"].items()}
    m = cfg["exact_queries"]
    own = r["segment_exact"]
    curve_own = {int(g): recall(f[:m], own) for g, f in r["found"].items()}
    targets = {}
    for t in CAL_TARGETS:
        fg, bg = r["chosen"][f"{t}/foreground"], r["chosen"][f"{t}/background"]
        g = fg[0]
        targets[str(t)] = {
            "nprobe": g, "same_choice": fg == bg and len(fg) == 1,
            "seconds_foreground": min(r["seconds"][f"{t}/foreground"]),
            "seconds_background": min(r["seconds"][f"{t}/background"]),
            "achieved": curve[g], "overstatement": t - curve[g],
            "achieved_vs_segment_exact": curve_own[g],
            "smallest_nprobe_reaching": next((x for x in sorted(curve) if curve[x] >= t), None)}
    return {"rows": data.n, "samples": CAL_SAMPLES, "k": K, "rerank": CAL_RERANK, "grid": CAL_GRID,
            "queries": len(truth), "targets": targets, "recall_by_nprobe": curve,
            "recall_by_nprobe_vs_segment_exact": curve_own,
            "segment_exact_vs_float_truth": recall(own, truth[:m]), "runs": r["seconds"],
            "ratios": {"calibrate_overstatement": max(x["overstatement"] for x in targets.values())}}


def part_live(data, cfg, work):
    print(f"[live] search {data.inputs[3].name} idle / during merges / during calibrations ...", flush=True)
    r = run_child(work, "live", {
        "search_dir": str(data.inputs[3]), "cal_dir": str(data.all), "merge_dirs": [str(p) for p in data.inputs[:3]],
        "merge_out": str(work / "live-merged"), "n_bits": data.n_bits, "queries": str(data.queries),
        "window": cfg["live_window"], "rounds": cfg["live_rounds"]})
    by = {}
    for w in r["windows"]:
        by.setdefault(w["phase"], []).append(w["qps"])
    best = {p: max(v) for p, v in by.items()}
    return {"rows": data.per, "nprobe": LIVE_NPROBE, "rerank": LIVE_RERANK, "windows": r["windows"], "qps": best,
            "ratios": {"live_merge_vs_idle": ratio(best["merge"], best["idle"]),
                       "live_calibrate_vs_idle": ratio(best["calibrate"], best["idle"])}}


# ------------------------------------------------------------------ report

def verdict(key, value):
    if key not in TARGETS or value is None:
        return "(reference)"
    op, bound, shown = TARGETS[key]
    ok = value >= bound if op == ">=" else value <= bound
    return f"{op} {shown}  {'ok' if ok else 'MISSED'}"


def print_report(res):
    m = res["machine"]
    print(f"\n== nimbrel across segments{' (quick)' if res['quick'] else ''}: {m['nproc']} cores, {m['processor']}; "
          f"load average {m['load_average_at_start'][0]:.2f} at start")
    g = res.get("merge")
    if g:
        print(f"\n   merge: {g['inputs']} segments of {g['rows'] // g['inputs']:,} rows -> {g['rows']:,} rows, "
              f"dim {DIM}; all cores, each call in a child of its own, fastest of {len(g['runs']['build'])}")
        print(f"   {'':<36} {'seconds':>8} {'RSS before':>11} {'peak RSS':>9} {'peak - before':>14}")
        for name, sec in g["seconds"].items():
            before, peak = g["rss_before_mib"][name], g["peak_mib"][name]
            print(f"   {name:<36} {sec:>8.2f} {before:>7.0f} MiB {peak:>5.0f} MiB {peak - before:>10.0f} MiB")
        for label, key in (("merge / build", "merge_vs_build"),
                           ("merge, full pool / build", "merge_full_pool_vs_build")):
            print(f"   {label:<36} {g['ratios'][key]:>8.2f}x  {verdict(key, g['ratios'][key])}")
    d = res.get("distances")
    if d:
        print(f"\n   distances: {d['ids']:,} ids ({d['missing']} in no segment) over {d['segments']} segments of "
              f"{d['rows_per_segment']:,} rows, one query; ids per second, fastest pass")
        for name, rate in d["ids_per_second"].items():
            print(f"   {name:<36} {rate:>12,.0f}")
        for label, key in (("speed-up, 1 thread", "distances_speedup_1t"),
                           ("speed-up, all cores", "distances_speedup_all")):
            print(f"   {label:<36} {d['ratios'][key]:>11.1f}x  {verdict(key, d['ratios'][key])}")
        one = d["one_thread"]
        print(f"   same ids missing: {one['same_missing']}; largest relative difference of the distances: "
              f"{one['max_rel_diff']:.2e}")
    c = res.get("calibrate")
    if c:
        print(f"\n   calibrate: {c['samples']} samples, k = {c['k']}, rerank {c['rerank']}, grid {list(c['grid'])}, "
              f"on {c['rows']:,} rows (all cores); achieved = recall@{c['k']} of {c['queries']} held-out queries")
        print(f"   {'target':>6} {'nprobe':>6} {'fg s':>7} {'bg s':>7} {'achieved':>9} {'target-ach':>10}"
              f" {'vs own exact':>12} {'first nprobe reaching':>22}")
        for t, x in c["targets"].items():
            print(f"   {t:>6} {x['nprobe']:>6}{'' if x['same_choice'] else '*'} {x['seconds_foreground']:>7.3f} "
                  f"{x['seconds_background']:>7.3f} {x['achieved']:>9.4f} {x['overstatement']:>+10.4f} "
                  f"{x['achieved_vs_segment_exact']:>12.4f} {str(x['smallest_nprobe_reaching']):>22}")
        print("   recall@10 by nprobe: " + ", ".join(f"{g}: {v:.4f}" for g, v in c["recall_by_nprobe"].items()))
        print(f"   the segment's own exact top 10 (8-bit copies) against the float truth: "
              f"{c['segment_exact_vs_float_truth']:.4f}")
        print(f"   largest overstatement {c['ratios']['calibrate_overstatement']:+.4f}   "
              f"{verdict('calibrate_overstatement', c['ratios']['calibrate_overstatement'])}")
    v = res.get("live")
    if v:
        print(f"\n   live: search on {v['rows']:,} rows, nprobe {v['nprobe']}, rerank {v['rerank']}, one query at a "
              f"time, full-size pools; QPS per window (queries finished while the job ran)")
        for w in v["windows"]:
            print(f"   {w['phase']:<10} {w['qps']:>9,.0f} QPS  ({w['queries']:,} queries in {w['seconds']:.2f} s, "
                  f"{w['calls']} call(s))")
        for name in ("merge", "calibrate"):
            x = v["ratios"][f"live_{name}_vs_idle"]
            print(f"   during {name:<9} / idle  {x:.2f}x   {verdict('live_qps_vs_idle', x)}")


# ------------------------------------------------------------------ main

def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="40,000 rows: a smoke test")
    p.add_argument("--only", default=",".join(PARTS), help=f"comma-separated parts (default {','.join(PARTS)})")
    p.add_argument("--n-bits", type=int, default=2, help="bits per dimension of the codes (default 2)")
    p.add_argument("--fresh", action="store_true", help="remake the cached data and segments")
    p.add_argument("--worker", choices=sorted(WORKERS), help=argparse.SUPPRESS)
    p.add_argument("--task", help=argparse.SUPPRESS)
    args = p.parse_args()
    args.parts = [x.strip() for x in args.only.split(",") if x.strip()]
    if set(args.parts) - set(PARTS):
        p.error(f"unknown part(s) {', '.join(sorted(set(args.parts) - set(PARTS)))}; choose from {', '.join(PARTS)}")
    return args


def main():
    args = parse_args()
    import nimbrel
    if args.worker:
        print(json.dumps(WORKERS[args.worker](json.loads(Path(args.task).read_text()), nimbrel)), flush=True)
        return
    cfg = QUICK if args.quick else FULL
    bench = load_private("nimbrel_bench_main", BENCH_DIR / "bench.py")
    data = Data(cfg, args)
    work = CACHE_DIR / f"across-work{'-quick' if args.quick else ''}"
    work.mkdir(parents=True, exist_ok=True)
    res = {"quick": args.quick, "sizes": cfg, "parts": args.parts, "n_bits": args.n_bits, "targets": TARGETS,
           "machine": {"nproc": os.cpu_count(), "processor": bench.cpu_model(), "arch": platform.machine(),
                       "load_average_at_start": os.getloadavg(), "python": platform.python_version()},
           "env": {k: os.environ.get(k) for k in ("RAYON_NUM_THREADS", "NIMBREL_MAINT_THREADS")}}
    started = time.perf_counter()
    data.prepare(nimbrel, bench, want_inputs=True,
                 want_all=bool({"calibrate", "live"} & set(args.parts)) and "merge" not in args.parts)
    for part, fn in (("merge", part_merge), ("distances", part_distances), ("calibrate", part_calibrate),
                     ("live", part_live)):
        if part in args.parts:
            t0 = time.perf_counter()
            res[part] = fn(data, cfg, work)
            res[part]["wall_seconds"] = time.perf_counter() - t0
            res[part]["load_average_after"] = os.getloadavg()
    res["wall_seconds"] = time.perf_counter() - started
    print_report(res)
    out = CACHE_DIR / f"results-across{'-quick' if args.quick else ''}.json"
    out.write_text(json.dumps(res, indent=2, default=str) + "\n")
    print(f"\n   {res['wall_seconds']:.0f} s; written {out}")


if __name__ == "__main__":
    main()
