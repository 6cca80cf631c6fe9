"""Read-side speed of nimbrel: filtered scans and counts, reads by id, sparse and hybrid search.

    python bench/bench_read.py [--quick] [--only filter,reads,sparse]

Three parts, each beside baselines measured in the same run, the ratios
printed next to the targets they should meet:

- filter: `count_matching` and `ids_matching` over a segment of 1,000,000
  rows whose metadata compiles into typed columns (two string fields, one
  numeric), for an equality, a numeric range, an `$in` of 10 values and an
  `$or` over two fields; single thread and all cores, beside numpy
  evaluating the same condition over the same columns held in memory
  (string fields as integer codes) and DuckDB counting over a table made
  from those arrays (all cores);
- reads: `get_meta_bounded` and `get_vectors` of 1,000 random ids and of
  1,000 missing ids, microseconds per id, single thread, beside a Python
  dict + list holding the same rows in memory (a reference, no target);
- sparse: `sparse_search` (k = 10) over 1,000,000 rows of about 30 tf-idf
  weighted terms drawn from a Zipf distribution over 100,000 terms, single
  thread, beside the brute force (a scipy CSR matrix times the query, then
  `np.argpartition`), scipy over the query's columns only, and bm25s and
  tantivy with their own BM25 scoring on the same documents as term lists;
  and `search_hybrid` against the sum of the two rankings it fuses, a dense
  `search` and a `sparse_search` of depth 100.

nimbrel runs in child processes of this script (its thread pool is sized
once per process from RAYON_NUM_THREADS): one with RAYON_NUM_THREADS=1 for
the single-thread numbers and one with the inherited environment for the
all-core ones. Builds run in this process on all cores. Every contender
takes turns pass by pass, so a burst of other work on the machine slows all
of them alike; the fastest pass counts.

Results: tables on stdout and bench/.cache/results-read.json
(results-read-quick.json with --quick), which also keeps every timed pass.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import os
import pickle
import platform
import shutil
import subprocess
import sys
import time
import types
from pathlib import Path

import numpy as np

from bench_util import fresh_dir

BENCH_DIR = Path(__file__).resolve().parent
CACHE_DIR = BENCH_DIR / ".cache"
DATA_DIR = CACHE_DIR / "read-data"  # generated corpora and reference indexes, kept between runs
PARTS = ("filter", "reads", "sparse")

FULL = {
    "meta_rows": 1_000_000, "meta_dim": 128, "read_ids": 1_000,
    "sparse_rows": 1_000_000, "vocab": 100_000, "sparse_queries": 200,
    # A contender's pass repeats its call until it lasts about pass_seconds;
    # passes go on, taking turns, until each contender made min_rounds
    # passes and spent min_seconds (at most max_rounds passes).
    "pass_seconds": 0.05, "min_rounds": 3, "max_rounds": 10, "min_seconds": 0.5,
    "sparse_min_rounds": 3, "sparse_max_rounds": 5, "sparse_min_seconds": 1.0,
}
QUICK = {
    "meta_rows": 100_000, "meta_dim": 128, "read_ids": 1_000,
    "sparse_rows": 100_000, "vocab": 20_000, "sparse_queries": 50,
    "pass_seconds": 0.02, "min_rounds": 2, "max_rounds": 4, "min_seconds": 0.1,
    "sparse_min_rounds": 2, "sparse_max_rounds": 2, "sparse_min_seconds": 0.1,
}
BUILD_SEED = 42
META_SEED = 11
SPARSE_SEED = 12
QUERY_SEED = 13
READ_SEED = 14
K = 10
HYBRID_DEPTH = 100          # what search_hybrid asks of each ranking at k = 10: max(100, 10k)
TOKENS_PER_ROW = 34         # Poisson mean of tokens drawn per row; about 30 distinct terms remain
ZIPF_EXPONENT = 1.0         # term frequency of rank r proportional to 1 / r**ZIPF_EXPONENT
QUERY_TERMS = (5, 10)       # distinct terms per sparse query, inclusive
META_BUDGET = 1 << 30       # max_result_bytes of get_meta_bounded: never reached here

# The metadata: `cat` 100 values (c0..c99) with Zipf weights 1/(r+1),
# `brand` 1,000 values (b0..b999) with weights 1/(r+1)**0.8, `price` a
# number with cents uniform in [0, 100), and `title`, a text not indexed
# (skip_index) that only gives the rows a realistic size for the reads.
N_CAT, N_BRAND = 100, 1_000
IN_CATS = tuple(range(5, 100, 10))  # the $in operand: c5, c15, ..., c95
CONDITIONS = {
    "eq": {"filter": {"cat": "c7"},
           "sql": "cat = 7", "sql_text": "cat = 'c7'"},
    "range": {"filter": {"price": {"$gte": 10, "$lt": 20}},
              "sql": "price >= 10 AND price < 20", "sql_text": "price >= 10 AND price < 20"},
    "in10": {"filter": {"cat": {"$in": [f"c{c}" for c in IN_CATS]}},
             "sql": f"cat IN ({', '.join(map(str, IN_CATS))})",
             "sql_text": f"cat IN ({', '.join(repr(f'c{c}') for c in IN_CATS)})"},
    "or": {"filter": {"$or": [{"cat": "c7"}, {"brand": "b3"}]},
           "sql": "cat = 7 OR brand = 3", "sql_text": "cat = 'c7' OR brand = 'b3'"},
}
TITLE_WORDS = ("amber basil cedar delta ember fjord grove harbor iris juniper kelp lumen meadow "
               "nectar onyx pepper quartz river sage thistle umber velvet willow xenon yarrow zephyr "
               "anchor beacon canyon dune echo falcon glacier heron island jasper").split()

# Targets: name of the number -> (comparison, bound, bound as printed).
TARGETS = {
    "filter_count_1t_vs_numpy": ("<=", 2.0, "2.00x"),
    "filter_ids_1t_vs_numpy": ("<=", 2.0, "2.00x"),
    "filter_count_all_vs_duckdb": ("<", 1.0, "1.00x"),
    "sparse_speedup_vs_csr": (">=", 10.0, "10.0x"),
    "hybrid_vs_sum": ("<=", 1.2, "1.20x"),
}


def load_private(name, path):
    """Loads a file of bench/ under a private module name, as bench.py loads
    bench/datasets.py (which must not be importable as `datasets`)."""
    module = types.ModuleType(name)
    module.__file__ = str(path)
    sys.modules[name] = module  # dataclasses look the module up here
    exec(compile(path.read_text(encoding="utf-8"), str(path), "exec"), module.__dict__)
    return module


def version_of(package):
    from importlib.metadata import version
    return version(package)


def ratio(a, b):
    return a / b if a is not None and b else None


def zipf_cdf(size, exponent):
    p = 1.0 / np.arange(1, size + 1, dtype=np.float64) ** exponent
    cdf = np.cumsum(p)
    return cdf / cdf[-1]


def draw(rng, cdf, count):
    """`count` ranks drawn with the probabilities whose cumulative sum is `cdf`."""
    return np.minimum(np.searchsorted(cdf, rng.random(count)), len(cdf) - 1)


# ------------------------------------------------------------ the contenders
#
# A contender runs `reps` repetitions of its call and returns the seconds
# they took; one call may itself be a loop over queries (`calls` says how
# many units one repetition holds, so the time per unit can be reported).

class Local:
    """A contender run in this process."""

    def __init__(self, fn, calls=1, digest=None):
        self.fn, self.calls, self.digest = fn, calls, digest or (lambda out: None)

    def run(self, reps, check=False):
        fn = self.fn
        start = time.perf_counter()
        for _ in range(reps):
            out = fn()
        seconds = time.perf_counter() - start
        return seconds, (self.digest(out) if check else None)


class Remote:
    """A contender run by a nimbrel child; see serve_child."""

    def __init__(self, child, op, calls=1):
        self.child, self.op, self.calls = child, op, calls

    def run(self, reps, check=False):
        reply = self.child.request({"op": self.op, "reps": reps, "check": check})
        return reply["seconds"], reply.get("check")


def take_turns(contenders, pass_seconds, min_rounds, max_rounds, min_seconds, label):
    """Warms every contender up (one call, whose digest is kept as its check),
    sizes its pass to about `pass_seconds`, then runs passes taking turns.
    Returns {name: {"best": seconds per unit, "passes": [...], "reps": r, "check": ...}}."""
    out = {}
    for name, c in contenders.items():
        seconds, check = c.run(1, check=True)
        if seconds < 0.2:  # the first call may have compiled a filter or faulted pages in
            seconds, _ = c.run(1)
        reps = max(1, min(100_000, math.ceil(pass_seconds / max(seconds, 1e-7))))
        out[name] = {"reps": reps, "calls": c.calls, "passes": [], "check": check}
    for r in range(max_rounds):
        active = [name for name, o in out.items()
                  if len(o["passes"]) < min_rounds
                  or sum(o["passes"]) * o["reps"] * o["calls"] < min_seconds]
        if not active:
            break
        print(f"[{label}] round {r + 1}: {len(active)} contender(s) ...", flush=True)
        for name in active:
            o = out[name]
            seconds, _ = contenders[name].run(o["reps"])
            o["passes"].append(seconds / (o["reps"] * o["calls"]))
    for o in out.values():
        o["best"] = min(o["passes"])
    return out


# ------------------------------------------------------------- nimbrel child
#
# The child opens one segment, loads the prepared arguments (a pickle
# written by the parent) and answers one request per line on stdin:
# {"op": name, "reps": r, "check": bool} -> {"seconds": s, "check": digest}.
# The digest (counts, sorted id checksums, result ids) is made outside the
# timed repetitions.

def id_digest(ids):
    ids = sorted(ids)
    return {"n": len(ids), "sha1": hashlib.sha1("\n".join(ids).encode()).hexdigest()}


def hits_rows(hits_per_query):
    return [[int(i) for i, _ in hits] for hits in hits_per_query]


def child_ops(handle, prep):
    ops = {}
    for name, text in prep.get("filters", {}).items():
        ops[f"count/{name}"] = (lambda t=text: handle.count_matching(t), lambda out: out)
        ops[f"ids/{name}"] = (lambda t=text: handle.ids_matching(t), id_digest)
    for name, ids in prep.get("read_ids", {}).items():
        ops[f"meta/{name}"] = (
            lambda x=ids: handle.get_meta_bounded(x, META_BUDGET, fast_upper=False),
            lambda out: {"n": len(out[0]), "cost": out[1], "nulls": out[2],
                         "null_texts": sum(1 for t in out[0] if t == "null"),
                         "sha1": hashlib.sha1("\n".join(out[0]).encode()).hexdigest()})
        ops[f"vectors/{name}"] = (
            lambda x=ids: handle.get_vectors(x),
            lambda out: {"n": len(out), "found": sum(1 for v in out if v),
                         "sum": float(sum(sum(v) for v in out))})
    sparse_q, dense_q = prep.get("sparse_queries"), prep.get("dense_queries")
    nprobe, rerank = prep.get("nprobe"), prep.get("rerank")
    if sparse_q is not None and hasattr(handle, "sparse_search"):
        sparse_search = handle.sparse_search
        for k in (K, HYBRID_DEPTH):
            ops[f"sparse/{k}"] = (lambda k=k: [sparse_search(q, k) for q in sparse_q], hits_rows)
    if dense_q is not None:
        search = handle.search
        ops[f"dense/{HYBRID_DEPTH}"] = (
            lambda: [search(q, HYBRID_DEPTH, nprobe, rerank) for q in dense_q], hits_rows)
    if sparse_q is not None and dense_q is not None and hasattr(handle, "search_hybrid"):
        hybrid = handle.search_hybrid
        ops[f"hybrid/{K}"] = (
            lambda: [hybrid(d, s, K, nprobe=nprobe, rerank=rerank) for d, s in zip(dense_q, sparse_q)],
            hits_rows)
    return ops


def serve_child(args):
    import nimbrel
    with open(args.prepared, "rb") as f:
        prep = pickle.load(f)
    handle = nimbrel.ZevireDarir(args.index_dir, args.dim)
    ops = child_ops(handle, prep)
    print(json.dumps({"ready": True, "version": getattr(nimbrel, "__version__", None),
                      "ops": sorted(ops),
                      "threads": os.environ.get("RAYON_NUM_THREADS") or f"all ({os.cpu_count()})"}),
          flush=True)
    for line in sys.stdin:
        req = json.loads(line)
        fn, digest = ops[req["op"]]
        try:
            start = time.perf_counter()
            for _ in range(req["reps"]):
                out = fn()
            reply = {"seconds": time.perf_counter() - start}
            if req.get("check"):
                reply["check"] = digest(out)
        except Exception as err:  # reported to the parent, which stops the part
            reply = {"error": f"{type(err).__name__}: {err}"}
        print(json.dumps(reply), flush=True)


class Child:
    """The parent's side of a nimbrel child process."""

    def __init__(self, work, name, index_dir, dim, prep, threads):
        prepared = work / f"{name}.prepared.pickle"
        with open(prepared, "wb") as f:
            pickle.dump(prep, f, protocol=pickle.HIGHEST_PROTOCOL)
        env = dict(os.environ)
        if threads is not None:
            env["RAYON_NUM_THREADS"] = str(threads)
        self.stderr_path = work / f"{name}.stderr"
        self.stderr = open(self.stderr_path, "w")
        self.proc = subprocess.Popen(
            [sys.executable, str(Path(__file__).resolve()), "--worker", "serve",
             "--index-dir", str(index_dir), "--dim", str(dim), "--prepared", str(prepared)],
            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr, text=True)
        hello = self._reply()
        self.version, self.ops, self.threads = hello["version"], set(hello["ops"]), hello["threads"]

    def _reply(self):
        line = self.proc.stdout.readline()
        if not line:
            status = self.proc.wait()
            tail = self.stderr_path.read_text(errors="replace").strip().splitlines()
            raise RuntimeError(f"nimbrel child exited with status {status}: "
                               f"{tail[-1] if tail else '(no output)'}")
        reply = json.loads(line)
        if "error" in reply:
            raise RuntimeError(f"nimbrel child: {reply['error']}")
        return reply

    def request(self, req):
        try:
            self.proc.stdin.write(json.dumps(req) + "\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass  # the child is gone; _reply reports how it ended
        return self._reply()

    def close(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        self.proc.wait()
        self.stderr.close()


# ------------------------------------------------ the metadata segment (filter, reads)

def meta_columns(n):
    rng = np.random.default_rng(META_SEED)
    cat = draw(rng, zipf_cdf(N_CAT, 1.0), n).astype(np.uint32)
    brand = draw(rng, zipf_cdf(N_BRAND, 0.8), n).astype(np.uint32)
    price = rng.integers(0, 10_000, size=n) / 100  # cents: exact in the JSON text
    words = rng.integers(0, len(TITLE_WORDS), size=(n, 6)).tolist()
    return {"cat": cat, "brand": brand, "price": price}, words


def build_meta_segment(nimbrel, path, cfg):
    """Builds the segment of the filter and reads parts; returns what the
    parent keeps of its rows (columns, ids, metadata texts, vectors)."""
    n, dim = cfg["meta_rows"], cfg["meta_dim"]
    start = time.perf_counter()
    cols, words = meta_columns(n)
    ids = [f"d{i}" for i in range(n)]
    metas = [f'{{"cat":"c{c}","price":{p:.2f},"brand":"b{b}","title":"item {i}: {" ".join(TITLE_WORDS[x] for x in w)}"}}'
             for i, (c, p, b, w) in enumerate(zip(cols["cat"].tolist(), cols["price"].tolist(),
                                                  cols["brand"].tolist(), words))]
    vectors = np.random.default_rng(META_SEED + 1).standard_normal((n, dim), dtype=np.float32)
    gen_seconds = time.perf_counter() - start
    nlist = max(1, round(math.sqrt(n)))
    print(f"[meta] build {n} x {dim}, {nlist} lists (generated in {gen_seconds:.1f} s) ...", flush=True)
    fresh_dir(path)
    handle = nimbrel.ZevireDarir(str(path), dim)
    start = time.perf_counter()
    handle.build(vectors.tobytes(), n, ids, metas, nlist, seed=BUILD_SEED, skip_index=["title"])
    build_seconds = time.perf_counter() - start
    assert handle.count() == n
    handle.close()
    return {"n": n, "dim": dim, "nlist": nlist, "cols": cols, "ids": ids, "metas": metas,
            "vectors": vectors, "gen_seconds": gen_seconds, "build_seconds": build_seconds,
            "mean_meta_bytes": sum(map(len, metas)) / n}


def numpy_condition(cols, name, floor=False):
    """The mask of a condition over the in-memory columns. `floor` picks
    the fastest numpy form known here (np.isin by sorting); otherwise
    np.isin's default."""
    cat, brand, price = cols["cat"], cols["brand"], cols["price"]
    in_codes = np.array(IN_CATS, dtype=np.uint32)
    if name == "eq":
        return lambda: cat == 7
    if name == "range":
        return lambda: (price >= 10) & (price < 20)
    if name == "in10":
        if floor:
            return lambda: np.isin(cat, in_codes, kind="sort")
        return lambda: np.isin(cat, in_codes)
    if name == "or":
        return lambda: (cat == 7) | (brand == 3)
    raise ValueError(name)


def part_filter(meta, children, cfg):
    import duckdb
    cols, n = meta["cols"], meta["n"]
    id_array = np.array(meta["ids"], dtype=object)
    con = duckdb.connect()
    arrays = dict(cols)  # DuckDB finds this dict of numpy arrays by its name
    con.execute("CREATE TABLE t AS SELECT * FROM arrays")  # copied into a native table
    con.execute("CREATE TABLE tv AS SELECT 'c' || cat AS cat, price, 'b' || brand AS brand FROM t")
    duck_threads = con.execute("SELECT current_setting('threads')").fetchone()[0]

    def duck(sql, threads):
        def run():
            return con.execute(sql).fetchone()[0]

        class Duck(Local):
            def run(self, reps, check=False):
                con.execute(f"SET threads = {threads}")
                try:
                    return super().run(reps, check)
                finally:
                    con.execute(f"SET threads = {duck_threads}")
        return Duck(run, digest=lambda out: out)

    results = {}
    for name, cond in CONDITIONS.items():
        text = json.dumps(cond["filter"])
        mask, floor = numpy_condition(cols, name), numpy_condition(cols, name, floor=True)
        contenders = {
            "nimbrel count, 1 thread": Remote(children["1"], f"count/{name}"),
            "nimbrel count, all cores": Remote(children["all"], f"count/{name}"),
            "numpy count (.sum())": Local(lambda m=mask: m().sum(), digest=int),
            "numpy count, floor": Local(lambda m=floor: np.count_nonzero(m()), digest=int),
            "duckdb count, all cores": duck(f"SELECT count(*) FROM t WHERE {cond['sql']}", duck_threads),
            "duckdb count, 1 thread": duck(f"SELECT count(*) FROM t WHERE {cond['sql']}", 1),
            "duckdb count, VARCHAR, all cores": duck(f"SELECT count(*) FROM tv WHERE {cond['sql_text']}",
                                                     duck_threads),
            "nimbrel ids, 1 thread": Remote(children["1"], f"ids/{name}"),
            "nimbrel ids, all cores": Remote(children["all"], f"ids/{name}"),
            "numpy ids": Local(lambda m=mask: id_array[np.flatnonzero(m())].tolist(), digest=id_digest),
        }
        print(f"[filter] {name}: {text}", flush=True)
        timed = take_turns(contenders, cfg["pass_seconds"], cfg["min_rounds"], cfg["max_rounds"],
                           cfg["min_seconds"], f"filter {name}")
        counts = {c: timed[c]["check"] for c in timed if "count" in c}
        id_checks = {c: timed[c]["check"] for c in timed if " ids" in c}
        expected = int(np.count_nonzero(mask()))
        agree = (all(v == expected for v in counts.values())
                 and all(v == id_checks["numpy ids"] for v in id_checks.values()))
        best = {c: t["best"] for c, t in timed.items()}
        results[name] = {
            "filter": text, "sql": cond["sql"], "matches": expected, "selectivity": expected / n,
            "results_agree": agree, "counts": counts, "id_checks": id_checks,
            "seconds": best, "timing": timed,
            "ratios": {
                "count_1t_vs_numpy": ratio(best["nimbrel count, 1 thread"], best["numpy count (.sum())"]),
                "count_1t_vs_numpy_floor": ratio(best["nimbrel count, 1 thread"], best["numpy count, floor"]),
                "ids_1t_vs_numpy": ratio(best["nimbrel ids, 1 thread"], best["numpy ids"]),
                "count_all_vs_duckdb": ratio(best["nimbrel count, all cores"], best["duckdb count, all cores"]),
                "count_all_vs_duckdb_varchar": ratio(best["nimbrel count, all cores"],
                                                     best["duckdb count, VARCHAR, all cores"]),
                "ids_all_vs_numpy": ratio(best["nimbrel ids, all cores"], best["numpy ids"]),
            }}
        if not agree:
            print(f"[filter] {name}: RESULTS DIFFER: counts {counts}, ids {id_checks}", flush=True)
    con.close()
    worst = {key: max(r["ratios"][key] for r in results.values())
             for key in ("count_1t_vs_numpy", "ids_1t_vs_numpy", "count_all_vs_duckdb")}
    return {"rows": n, "duckdb_version": version_of("duckdb"), "duckdb_threads": duck_threads,
            "conditions": results,
            "ratios": {"filter_count_1t_vs_numpy": worst["count_1t_vs_numpy"],
                       "filter_ids_1t_vs_numpy": worst["ids_1t_vs_numpy"],
                       "filter_count_all_vs_duckdb": worst["count_all_vs_duckdb"]}}


def read_id_sets(n, count):
    rng = np.random.default_rng(READ_SEED)
    hit = [f"d{i}" for i in rng.choice(n, size=count, replace=False)]
    miss = [f"d{n + i}" for i in rng.choice(10 * count, size=count, replace=False)]  # never built
    return {"hit": hit, "miss": miss}


def part_reads(meta, children, read_ids, cfg):
    metas, vectors = meta["metas"], meta["vectors"]
    pos = {i: j for j, i in enumerate(meta["ids"])}
    get = pos.get

    def ref_meta(ids):
        return [metas[j] if j is not None else "null" for j in map(get, ids)]

    def ref_vectors(ids):
        return [vectors[j].tolist() if j is not None else [] for j in map(get, ids)]

    contenders = {}
    for kind in ("hit", "miss"):
        ids = read_ids[kind]
        contenders[f"get_meta_bounded, {kind}"] = Remote(children["1"], f"meta/{kind}", calls=len(ids))
        contenders[f"dict + list metadata, {kind}"] = Local(
            lambda x=ids: ref_meta(x), calls=len(ids),
            digest=lambda out: {"n": len(out), "null_texts": sum(1 for t in out if t == "null")})
        contenders[f"get_vectors, {kind}"] = Remote(children["1"], f"vectors/{kind}", calls=len(ids))
        contenders[f"dict + numpy vectors, {kind}"] = Local(
            lambda x=ids: ref_vectors(x), calls=len(ids),
            digest=lambda out: {"n": len(out), "found": sum(1 for v in out if v)})
    timed = take_turns(contenders, cfg["pass_seconds"], cfg["min_rounds"], cfg["max_rounds"],
                       cfg["min_seconds"], "reads")
    best = {c: t["best"] for c, t in timed.items()}
    checks = {c: t["check"] for c, t in timed.items()}
    ok = (checks["get_meta_bounded, hit"]["null_texts"] == 0
          and checks["get_meta_bounded, miss"]["null_texts"] == len(read_ids["miss"])
          and checks["get_vectors, hit"]["found"] == len(read_ids["hit"])
          and checks["get_vectors, miss"]["found"] == 0)
    if not ok:
        print(f"[reads] UNEXPECTED RESULTS: {checks}", flush=True)
    return {"rows": meta["n"], "dim": meta["dim"], "ids_per_call": len(read_ids["hit"]),
            "mean_meta_bytes": meta["mean_meta_bytes"], "max_result_bytes": META_BUDGET,
            "seconds_per_id": best, "checks": checks, "results_as_expected": ok, "timing": timed}


# --------------------------------------------------------------- the sparse part

def sparse_corpus(n, vocab, fresh):
    """Rows of distinct (term, weight): TOKENS_PER_ROW tokens (Poisson) drawn
    from a Zipf distribution over `vocab` terms, folded into term
    frequencies; weight (1 + ln tf) * ln(1 + n / df). Cached as .npz."""
    key = f"sparse-n{n}-v{vocab}-t{TOKENS_PER_ROW}-z{ZIPF_EXPONENT}-s{SPARSE_SEED}"
    path = DATA_DIR / f"{key}.npz"
    if path.exists() and not fresh:
        z = np.load(path)
        return key, {name: z[name] for name in z.files}, True
    rng = np.random.default_rng(SPARSE_SEED)
    cdf = zipf_cdf(vocab, ZIPF_EXPONENT)
    lengths = np.maximum(1, rng.poisson(TOKENS_PER_ROW, size=n))
    terms, tfs, per_row = [], [], []
    chunk = 100_000
    for c0 in range(0, n, chunk):
        c1 = min(n, c0 + chunk)
        lens = lengths[c0:c1]
        tokens = draw(rng, cdf, int(lens.sum()))
        keys = np.repeat(np.arange(c1 - c0, dtype=np.int64), lens) * vocab + tokens
        keys.sort()
        first = np.empty(len(keys), dtype=bool)
        first[0] = True
        first[1:] = keys[1:] != keys[:-1]
        starts = np.flatnonzero(first)
        unique = keys[starts]
        tfs.append(np.diff(np.append(starts, len(keys))).astype(np.int32))
        terms.append((unique % vocab).astype(np.int32))
        per_row.append(np.bincount(unique // vocab, minlength=c1 - c0))
    term, tf = np.concatenate(terms), np.concatenate(tfs)
    indptr = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.concatenate(per_row), out=indptr[1:])
    df = np.bincount(term, minlength=vocab)
    idf = np.log1p(n / np.maximum(df, 1))
    weight = ((1.0 + np.log(tf)) * idf[term]).astype(np.float32)
    data = {"indptr": indptr, "term": term, "tf": tf, "weight": weight, "df": df, "idf": idf}
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp.npz")
    np.savez(tmp, **data)
    tmp.replace(path)
    return key, data, False


def sparse_queries(corpus, vocab, count):
    """Queries of 5-10 distinct terms drawn from the rows' term distribution,
    each weighted by its idf; [(term, weight)] sorted by term."""
    rng = np.random.default_rng(QUERY_SEED)
    cdf = zipf_cdf(vocab, ZIPF_EXPONENT)
    idf = corpus["idf"]
    out = []
    for _ in range(count):
        want = int(rng.integers(QUERY_TERMS[0], QUERY_TERMS[1] + 1))
        terms = set()
        while len(terms) < want:
            terms.update(int(t) for t in draw(rng, cdf, want - len(terms)))
        out.append([(t, float(idf[t])) for t in sorted(terms)])
    return out


class LazyRows:
    """The `sparse` argument of build: a sequence of [(term, weight), ...]
    made row by row while build converts it, so the 30 million tuples are
    never all alive at once."""

    def __init__(self, corpus):
        self.indptr, self.term, self.weight = corpus["indptr"], corpus["term"], corpus["weight"]
        self.n = len(self.indptr) - 1

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        a, b = self.indptr[i], self.indptr[i + 1]
        return list(zip(self.term[a:b].tolist(), self.weight[a:b].tolist()))

    def __iter__(self):
        chunk = 100_000
        for c0 in range(0, self.n, chunk):
            c1 = min(self.n, c0 + chunk)
            a, b = self.indptr[c0], self.indptr[c1]
            terms, weights = self.term[a:b].tolist(), self.weight[a:b].tolist()
            bounds = (self.indptr[c0:c1 + 1] - a).tolist()
            for i in range(c1 - c0):
                yield list(zip(terms[bounds[i]:bounds[i + 1]], weights[bounds[i]:bounds[i + 1]]))


def tie_aware_recall(found, truth):
    """Mean over queries of the share of found ids whose exact score reaches
    the k-th exact score (ties at the k-th place all count)."""
    total = 0.0
    for ids, (kth, accepted) in zip(found, truth):
        ok = sum(1 for i in ids[:K] if i in accepted)
        total += ok / K
    return total / len(found)


def exact_truth(csc, queries):
    """Per query (k-th exact score, set of rows scoring at least that), in float64."""
    truth = []
    for q in queries:
        terms = np.array([t for t, _ in q])
        weights = np.array([w for _, w in q], dtype=np.float64)
        scores = csc[:, terms].astype(np.float64) @ weights
        top = np.argpartition(scores, -K)[-K:]
        kth = scores[top].min()
        accepted = set(np.flatnonzero(scores >= kth - 1e-5 * abs(kth)).tolist()[:10_000])
        truth.append((float(kth), accepted))
    return truth


def rrf_top(dense_rows, sparse_rows, rrf_k=60.0, k=K):
    """Reciprocal rank fusion of two rankings (ranks from 1), top k."""
    score = {}
    for rows in (dense_rows, sparse_rows):
        for rank, i in enumerate(rows, start=1):
            score[i] = score.get(i, 0.0) + 1.0 / (rrf_k + rank)
    return [i for i, _ in sorted(score.items(), key=lambda kv: -kv[1])[:k]]


def bm25s_index(key, corpus, vocab, fresh):
    """bm25s (its own BM25) over the rows as token lists (each term repeated
    tf times), cached in DATA_DIR. Returns (retriever, seconds to index or None)."""
    import bm25s
    path = DATA_DIR / f"bm25s-{key}-{version_of('bm25s')}"
    if path.is_dir() and (path / "complete").exists() and not fresh:
        return bm25s.BM25.load(str(path)), None
    start = time.perf_counter()
    tokens = np.repeat(corpus["term"], corpus["tf"]).tolist()
    bounds = np.concatenate([[0], np.cumsum(np.add.reduceat(corpus["tf"], corpus["indptr"][:-1]))]).tolist()
    docs = [tokens[bounds[i]:bounds[i + 1]] for i in range(len(bounds) - 1)]
    del tokens
    retriever = bm25s.BM25()
    retriever.index(bm25s.tokenization.Tokenized(ids=docs, vocab={f"t{t}": t for t in range(vocab)}),
                    show_progress=False)
    seconds = time.perf_counter() - start
    del docs
    shutil.rmtree(path, ignore_errors=True)
    retriever.save(str(path))
    (path / "complete").write_text("")
    return retriever, seconds


def tantivy_index(key, corpus, fresh):
    """A tantivy index (its own BM25) of the rows as whitespace-separated
    tokens (each term repeated tf times), cached in DATA_DIR. Returns
    (index, schema, seconds to index or None)."""
    import tantivy
    path = DATA_DIR / f"tantivy-{key}-{version_of('tantivy')}"
    builder = tantivy.SchemaBuilder()
    builder.add_text_field("body", stored=False, tokenizer_name="whitespace", index_option="freq")
    builder.add_integer_field("row", stored=False, fast=True)
    schema = builder.build()
    if path.is_dir() and (path / "complete").exists() and not fresh:
        return tantivy.Index(schema, path=str(path)), schema, None
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    index = tantivy.Index(schema, path=str(path))
    start = time.perf_counter()
    writer = index.writer(heap_size=1_000_000_000, num_threads=os.cpu_count() or 1)
    words = np.array([f"t{t}" for t in range(len(corpus["df"]))], dtype=object)
    tokens = np.repeat(corpus["term"], corpus["tf"])
    bounds = np.concatenate([[0], np.cumsum(np.add.reduceat(corpus["tf"], corpus["indptr"][:-1]))])
    n, chunk = len(bounds) - 1, 100_000
    for c0 in range(0, n, chunk):
        c1 = min(n, c0 + chunk)
        texts = words[tokens[bounds[c0]:bounds[c1]]]
        local = (bounds[c0:c1 + 1] - bounds[c0]).tolist()
        for i in range(c1 - c0):
            writer.add_document(tantivy.Document(body=" ".join(texts[local[i]:local[i + 1]]), row=c0 + i))
    writer.commit()
    writer.wait_merging_threads()
    seconds = time.perf_counter() - start
    (path / "complete").write_text("")
    return index, schema, seconds


def part_sparse(nimbrel, datasets, cfg, args, work):
    import scipy.sparse as sp
    n, vocab, n_queries = cfg["sparse_rows"], cfg["vocab"], cfg["sparse_queries"]
    print(f"[sparse] corpus: {n} rows, vocabulary {vocab} ...", flush=True)
    start = time.perf_counter()
    key, corpus, cached = sparse_corpus(n, vocab, args.fresh)
    corpus_seconds = time.perf_counter() - start
    nnz = len(corpus["term"])
    queries = sparse_queries(corpus, vocab, n_queries)
    csr = sp.csr_matrix((corpus["weight"], corpus["term"], corpus["indptr"]), shape=(n, vocab))
    csc = csr.tocsc()
    dense = datasets.gaussian_mixture(n, n_queries)
    nlist = max(1, round(math.sqrt(n)))

    path = work / "sparse-seg"
    print(f"[sparse] build the nimbrel segment: {n} x {dense.dim} dense (Gaussian mixture), "
          f"{nnz} sparse terms, {nlist} lists ...", flush=True)
    fresh_dir(path)
    handle = nimbrel.ZevireDarir(str(path), dense.dim)
    start = time.perf_counter()
    handle.build(dense.base.tobytes(), n, [str(i) for i in range(n)], ["null"] * n, nlist,
                 seed=BUILD_SEED, sparse=LazyRows(corpus))
    build_seconds = time.perf_counter() - start
    handle.close()
    del handle

    print("[sparse] bm25s and tantivy indexes ...", flush=True)
    import tantivy
    retriever, bm25s_seconds = bm25s_index(key, corpus, vocab, args.fresh)
    tv_index, tv_schema, tantivy_seconds = tantivy_index(key, corpus, args.fresh)
    tv_index.reload()
    searcher = tv_index.searcher()

    print(f"[sparse] exact top {K} of {n_queries} queries (float64) ...", flush=True)
    truth = exact_truth(csc, queries)

    # Prepared arguments of every contender.
    dense_bytes = [q.tobytes() for q in dense.queries]
    q_dense = [np.zeros(vocab, dtype=np.float32) for _ in queries]
    for vec, q in zip(q_dense, queries):
        for t, w in q:
            vec[t] = w
    q_cols = [(np.array([t for t, _ in q]), np.array([w for _, w in q], dtype=np.float32)) for q in queries]
    q_words = [[f"t{t}" for t, _ in q] for q in queries]
    q_tantivy = [tantivy.Query.boolean_query([(tantivy.Occur.Should,
                                               tantivy.Query.term_query(tv_schema, "body", f"t{t}"))
                                              for t, _ in q]) for q in queries]

    def top_k(scores):
        top = np.argpartition(scores, -K)[-K:]
        return top[np.argsort(-scores[top])]

    def csr_pass():
        return [top_k(csr @ q) for q in q_dense]

    def csc_pass():
        return [top_k(csc[:, t] @ w) for t, w in q_cols]

    def bm25s_pass():
        return [retriever.retrieve([q], k=K, show_progress=False, n_threads=0) for q in q_words]

    def tantivy_pass():
        return [searcher.search(q, K, count=False) for q in q_tantivy]

    rows_of = lambda out: [[int(i) for i in r] for r in out]  # noqa: E731
    contenders = {
        "scipy CSR x query + argpartition": Local(csr_pass, calls=n_queries, digest=rows_of),
        "scipy CSC, query columns only": Local(csc_pass, calls=n_queries, digest=rows_of),
        "bm25s (BM25, numpy backend)": Local(bm25s_pass, calls=n_queries),
        "tantivy (BM25)": Local(tantivy_pass, calls=n_queries),
    }

    child = None
    prep = {"sparse_queries": queries, "dense_queries": dense_bytes,
            "nprobe": args.nprobe, "rerank": args.rerank}
    has_sparse = hasattr(nimbrel.ZevireDarir, "sparse_search")
    has_hybrid = hasattr(nimbrel.ZevireDarir, "search_hybrid")
    try:
        child = Child(work, "sparse-child-1", path, dense.dim, prep, threads=1)
        names = {f"sparse/{K}": f"nimbrel sparse_search k={K}",
                 f"sparse/{HYBRID_DEPTH}": f"nimbrel sparse_search k={HYBRID_DEPTH}",
                 f"dense/{HYBRID_DEPTH}": f"nimbrel search k={HYBRID_DEPTH}",
                 f"hybrid/{K}": f"nimbrel search_hybrid k={K}"}
        for op, name in names.items():
            if op in child.ops:
                contenders[name] = Remote(child, op, calls=n_queries)
        # The nimbrel contenders first: they are what the part is about.
        order = [name for name in names.values() if name in contenders]
        contenders = {name: contenders[name] for name in order + [c for c in contenders if c not in order]}
        timed = take_turns(contenders, 0.0, cfg["sparse_min_rounds"], cfg["sparse_max_rounds"],
                           cfg["sparse_min_seconds"], "sparse")
    finally:
        if child is not None:
            child.close()

    best = {c: t["best"] for c, t in timed.items()}
    checks = {c: t["check"] for c, t in timed.items()}
    recall = {c: tie_aware_recall(checks[c], truth)
              for c in ("scipy CSR x query + argpartition", "scipy CSC, query columns only",
                        f"nimbrel sparse_search k={K}") if checks.get(c) is not None}
    nim = best.get(f"nimbrel sparse_search k={K}")
    res = {
        "rows": n, "vocab": vocab, "nnz": nnz, "terms_per_row": nnz / n, "queries": n_queries,
        "query_terms_mean": sum(map(len, queries)) / n_queries,
        "query_postings_mean": float(np.mean([corpus["df"][[t for t, _ in q]].sum() for q in queries])),
        "df_top5": corpus["df"][:5].tolist(), "corpus_key": key, "corpus_cached": cached,
        "corpus_seconds": corpus_seconds, "dense_dim": dense.dim, "nlist": nlist,
        "nprobe": args.nprobe, "rerank": args.rerank,
        "build_seconds": {"nimbrel (dense + sparse)": build_seconds,
                          "bm25s index": bm25s_seconds, "tantivy index": tantivy_seconds},
        "versions": {name: version_of(name) for name in ("scipy", "bm25s", "tantivy", "numpy")},
        "tantivy_segments": searcher.num_segments,
        "nimbrel_methods": {"sparse_search": has_sparse, "search_hybrid": has_hybrid},
        "seconds_per_query": best, "recall_at_10": recall, "timing": timed,
        "ratios": {"sparse_speedup_vs_csr": ratio(best["scipy CSR x query + argpartition"], nim),
                   "sparse_speedup_vs_csc_columns": ratio(best["scipy CSC, query columns only"], nim),
                   "sparse_speedup_vs_bm25s": ratio(best["bm25s (BM25, numpy backend)"], nim),
                   "sparse_speedup_vs_tantivy": ratio(best["tantivy (BM25)"], nim)},
    }
    hyb = best.get(f"nimbrel search_hybrid k={K}")
    dense100 = best.get(f"nimbrel search k={HYBRID_DEPTH}")
    sparse100 = best.get(f"nimbrel sparse_search k={HYBRID_DEPTH}")
    if hyb is not None and dense100 is not None and sparse100 is not None:
        res["ratios"]["hybrid_vs_sum"] = hyb / (dense100 + sparse100)
        fused = [rrf_top(d, s) for d, s in zip(checks[f"nimbrel search k={HYBRID_DEPTH}"],
                                                checks[f"nimbrel sparse_search k={HYBRID_DEPTH}"])]
        got = checks[f"nimbrel search_hybrid k={K}"]
        res["hybrid_agreement_with_rrf_of_separate_calls"] = float(np.mean(
            [len(set(a) & set(b)) / max(1, len(b)) for a, b in zip(got, fused)]))
    for t in timed.values():
        t.pop("check", None)  # result lists: used above, too long for the JSON
    if not args.keep:
        fresh_dir(path)
    return res


# ------------------------------------------------------------------ report

def verdict(key, value):
    if key not in TARGETS or value is None:
        return "", ""
    op, bound, shown = TARGETS[key]
    ok = {">=": value >= bound, "<=": value <= bound, "<": value < bound}[op]
    return f"{op} {shown}", "ok" if ok else "MISSED"


def fmt(value, pattern):
    return "-" if value is None else format(value, pattern)


def print_report(res):
    m = res["machine"]
    print()
    print(f"== nimbrel reads{' (quick)' if res['quick'] else ''}")
    print(f"   machine: {m['nproc']} cores (nproc), {m['arch']}, {m['processor']}; "
          f"load average {m['load_average_at_start'][0]:.2f} at start")
    if m["load_average_at_start"][0] > 0.5 * m["nproc"]:
        print("   warning: the machine was busy at start; all-core numbers are skewed")
    meta = res.get("meta_segment")
    if meta:
        print(f"   metadata segment: {meta['rows']:,} x {meta['dim']}, {meta['nlist']} lists, mean metadata "
              f"{meta['mean_meta_bytes']:.0f} bytes; built in {meta['build_seconds']:.1f} s (all cores)")

    f = res.get("filter")
    if f:
        print(f"\n   filter: {f['rows']:,} rows; cat 100 values (Zipf), brand 1,000 values (Zipf 0.8), "
              f"price f64 uniform [0, 100); ms per call, fastest pass")
        print("   numpy: the same condition over the columns in memory (string fields as u32 codes), one thread;")
        print("   'floor' = np.count_nonzero and np.isin(kind='sort'); DuckDB "
              f"{f['duckdb_version']}, table from the same arrays (u32 codes), threads={f['duckdb_threads']}")
        cols = ["nimbrel count, 1 thread", "nimbrel count, all cores", "numpy count (.sum())",
                "numpy count, floor", "duckdb count, all cores", "duckdb count, 1 thread",
                "duckdb count, VARCHAR, all cores"]
        short = ["nim 1T", "nim all", "np .sum", "np floor", "duck all", "duck 1T", "duck VARCHAR"]
        print(f"   {'condition':<9} {'matches':>9} | " + " | ".join(f"{s:>8}" for s in short))
        for name, c in f["conditions"].items():
            print(f"   {name:<9} {c['matches']:>9,} | " + " | ".join(f"{c['seconds'][x] * 1e3:>8.3f}" for x in cols)
                  + ("" if c["results_agree"] else "   RESULTS DIFFER"))
        cols = ["nimbrel ids, 1 thread", "nimbrel ids, all cores", "numpy ids"]
        print("   ids_matching (a list of id strings; numpy: np.flatnonzero, then the ids of an object array, .tolist())")
        print(f"   {'condition':<9} {'matches':>9} | " + " | ".join(f"{s:>8}" for s in ("nim 1T", "nim all", "numpy")))
        for name, c in f["conditions"].items():
            print(f"   {name:<9} {c['matches']:>9,} | " + " | ".join(f"{c['seconds'][x] * 1e3:>8.3f}" for x in cols))
        print(f"\n   {'ratio of times':<44} " + " ".join(f"{n:>7}" for n in f["conditions"]) + "   target")
        rows = [("count 1 thread / numpy .sum()", "count_1t_vs_numpy", "filter_count_1t_vs_numpy"),
                ("count 1 thread / numpy floor", "count_1t_vs_numpy_floor", None),
                ("ids 1 thread / numpy ids", "ids_1t_vs_numpy", "filter_ids_1t_vs_numpy"),
                ("count all cores / DuckDB all cores", "count_all_vs_duckdb", "filter_count_all_vs_duckdb"),
                ("count all cores / DuckDB VARCHAR all cores", "count_all_vs_duckdb_varchar", None),
                ("ids all cores / numpy ids", "ids_all_vs_numpy", None)]
        for label, key, target in rows:
            values = [c["ratios"][key] for c in f["conditions"].values()]
            cells = []
            for v in values:
                _, status = verdict(target, v) if target else ("", "")
                cells.append(f"{v:>6.2f}{'*' if status == 'MISSED' else ' '}")
            tgt = f"{TARGETS[target][0]} {TARGETS[target][2]}" if target else "(reference)"
            met = ""
            if target:
                met = "all met" if all(verdict(target, v)[1] == "ok" for v in values) else \
                    f"{sum(verdict(target, v)[1] == 'ok' for v in values)} of {len(values)} met"
            print(f"   {label:<44} " + " ".join(cells) + f"  {tgt} {met}")
        print("   (* = target missed)")

    r = res.get("reads")
    if r:
        print(f"\n   reads: {r['ids_per_call']:,} ids per call on the {r['rows']:,}-row segment (dim {r['dim']}), "
              f"single thread, microseconds per id, fastest pass"
              + ("" if r["results_as_expected"] else "   UNEXPECTED RESULTS"))
        s = r["seconds_per_id"]
        print(f"   {'call':<36} {'hit':>8} {'missing':>8}   reference (in memory): hit / missing")
        for call, ref in (("get_meta_bounded(fast_upper=False)", "dict + list metadata"),
                          ("get_vectors", "dict + numpy vectors")):
            base = "get_meta_bounded" if call.startswith("get_meta") else call
            h, mi = s[f"{base}, hit"], s[f"{base}, miss"]
            rh, rm = s[f"{ref}, hit"], s[f"{ref}, miss"]
            print(f"   {call:<36} {h * 1e6:>8.3f} {mi * 1e6:>8.3f}   {ref}: {rh * 1e6:.3f} / {rm * 1e6:.3f} "
                  f"(nimbrel {h / rh:.1f}x / {mi / rm:.1f}x)")

    s = res.get("sparse")
    if s:
        print(f"\n   sparse: {s['rows']:,} rows, vocabulary {s['vocab']:,} (Zipf {ZIPF_EXPONENT}), "
              f"{s['terms_per_row']:.1f} terms a row (tf-idf weights), {s['queries']} queries of "
              f"{s['query_terms_mean']:.1f} terms on average ({s['query_postings_mean']:,.0f} postings); "
              f"single thread, ms per query, fastest pass")
        b = s["build_seconds"]
        print("   index build: " + ", ".join(
            f"{k} {'cached' if v is None else f'{v:.1f} s'}" for k, v in b.items())
              + f"; tantivy segments: {s['tantivy_segments']}")
        if not s["nimbrel_methods"]["sparse_search"]:
            print("   nimbrel has no sparse_search yet: its rows are missing")
        if not s["nimbrel_methods"]["search_hybrid"]:
            print("   nimbrel has no search_hybrid yet: the hybrid row is missing")
        for name, sec in s["seconds_per_query"].items():
            rec = s["recall_at_10"].get(name)
            print(f"   {name:<40} {sec * 1e3:>9.3f} ms" + (f"   recall@10 {rec:.4f}" if rec is not None else ""))
        x = s["ratios"]
        print(f"\n   {'ratio':<52} {'value':>8}   target")
        for label, key in (("speed-up of sparse_search over scipy CSR brute force", "sparse_speedup_vs_csr"),
                           ("speed-up over scipy CSC query columns (reference)", "sparse_speedup_vs_csc_columns"),
                           ("speed-up over bm25s (reference, other scoring)", "sparse_speedup_vs_bm25s"),
                           ("speed-up over tantivy (reference, other scoring)", "sparse_speedup_vs_tantivy"),
                           ("hybrid / (search k=100 + sparse_search k=100)", "hybrid_vs_sum")):
            target, status = verdict(key, x.get(key))
            print(f"   {label:<52} {fmt(x.get(key), '8.2f')}   {target} {status}")
        if "hybrid_agreement_with_rrf_of_separate_calls" in s:
            print(f"   hybrid top 10 shared with an RRF (k=60, ranks from 1) of the two depth-100 lists: "
                  f"{s['hybrid_agreement_with_rrf_of_separate_calls']:.3f}")
        print(f"   dense side: {s['dense_dim']}-d Gaussian mixture, {s['nlist']} lists, nprobe {s['nprobe']}, "
              f"rerank {s['rerank']}")


# --------------------------------------------------------------------- main

def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="small sizes, for a smoke test")
    p.add_argument("--only", default=",".join(PARTS),
                   help=f"comma-separated parts to run (default: {','.join(PARTS)})")
    p.add_argument("--nprobe", type=int, default=64, help="nprobe of the hybrid and dense searches (default 64)")
    p.add_argument("--rerank", type=int, default=500, help="rerank of the hybrid and dense searches (default 500)")
    p.add_argument("--fresh", action="store_true",
                   help="regenerate the cached sparse corpus and bm25s / tantivy indexes")
    p.add_argument("--keep", action="store_true", help="keep the run's nimbrel segments")
    p.add_argument("--work-dir", default=None, help="where the segments go (default bench/.cache/read[-quick])")
    # Internal: the nimbrel child.
    p.add_argument("--worker", choices=("serve",), help=argparse.SUPPRESS)
    p.add_argument("--index-dir", help=argparse.SUPPRESS)
    p.add_argument("--dim", type=int, help=argparse.SUPPRESS)
    p.add_argument("--prepared", help=argparse.SUPPRESS)
    args = p.parse_args()
    args.parts = [x.strip() for x in args.only.split(",") if x.strip()]
    unknown = set(args.parts) - set(PARTS)
    if unknown:
        p.error(f"unknown part(s) {', '.join(sorted(unknown))}; choose from {', '.join(PARTS)}")
    return args


def main():
    args = parse_args()
    if args.worker:
        serve_child(args)
        return
    cfg = QUICK if args.quick else FULL
    if os.environ.get("RAYON_NUM_THREADS"):
        print(f"note: RAYON_NUM_THREADS={os.environ['RAYON_NUM_THREADS']} is set: builds and the "
              "'all cores' child run on that many threads", flush=True)
    import nimbrel
    bench = load_private("nimbrel_bench_main", BENCH_DIR / "bench.py")
    work = Path(args.work_dir or CACHE_DIR / f"read{'-quick' if args.quick else ''}").resolve()
    work.mkdir(parents=True, exist_ok=True)
    res = {"quick": args.quick, "sizes": cfg, "parts": args.parts,
           "machine": {"nproc": os.cpu_count(), "arch": platform.machine(),
                       "processor": bench.cpu_model(), "python": platform.python_version(),
                       "numpy": np.__version__, "load_average_at_start": os.getloadavg()},
           "env": {k: os.environ.get(k) for k in ("RAYON_NUM_THREADS", "OMP_NUM_THREADS",
                                                   "OPENBLAS_CORETYPE")},
           "version": getattr(nimbrel, "__version__", None), "targets": TARGETS}
    started = time.perf_counter()
    if "filter" in args.parts or "reads" in args.parts:
        meta_path = work / "meta-seg"
        meta = build_meta_segment(nimbrel, meta_path, cfg)
        res["meta_segment"] = {k: meta[k] for k in ("n", "dim", "nlist", "gen_seconds", "build_seconds",
                                                    "mean_meta_bytes")}
        res["meta_segment"]["rows"] = meta["n"]
        read_ids = read_id_sets(meta["n"], cfg["read_ids"])
        prep = {"filters": {name: json.dumps(c["filter"]) for name, c in CONDITIONS.items()},
                "read_ids": read_ids}
        children = {}
        try:
            children["1"] = Child(work, "meta-child-1", meta_path, meta["dim"], prep, threads=1)
            if "filter" in args.parts:
                children["all"] = Child(work, "meta-child-all", meta_path, meta["dim"], prep, threads=None)
                t0 = time.perf_counter()
                res["filter"] = part_filter(meta, children, cfg)
                res["filter"]["wall_seconds"] = time.perf_counter() - t0
            if "reads" in args.parts:
                print("[reads] ...", flush=True)
                t0 = time.perf_counter()
                res["reads"] = part_reads(meta, children, read_ids, cfg)
                res["reads"]["wall_seconds"] = time.perf_counter() - t0
        finally:
            for child in children.values():
                child.close()
        del meta
        if not args.keep:
            fresh_dir(meta_path)
    if "sparse" in args.parts:
        datasets = bench.load_datasets_module()
        t0 = time.perf_counter()
        res["sparse"] = part_sparse(nimbrel, datasets, cfg, args, work)
        res["sparse"]["wall_seconds"] = time.perf_counter() - t0
    res["wall_seconds"] = time.perf_counter() - started

    print_report(res)
    out = CACHE_DIR / f"results-read{'-quick' if args.quick else ''}.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(res, indent=2, default=str) + "\n")
    print(f"\n   {res['wall_seconds']:.0f} s; written {out}")


if __name__ == "__main__":
    main()
