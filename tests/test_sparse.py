"""sparse_search and search_hybrid against a plain reference: the dot
product of the query with every live row's terms, computed in float32 in
the query's order, and Reciprocal Rank Fusion done by hand on search() and
sparse_search(); main and delta rows, upserts, deletes, filters, ties, the
argument errors, and damaged postings."""

import json
import math
import os
import struct
import threading

import numpy as np
import pytest

import nimbrel
from conftest import random_vectors, run_python

DIM = 8
F32 = np.float32


class Model:
    """The live rows' sparse terms and metadata, in internal row order: the
    build's rows (one IVF list keeps them in input order), then each add."""

    def __init__(self):
        self.rows = []  # [id, pairs, meta, live]

    def add(self, i, pairs, meta):
        for r in self.rows:
            if r[0] == i:
                r[3] = False
        self.rows.append([i, pairs, meta, True])

    def delete(self, i):
        for r in self.rows:
            if r[0] == i:
                r[3] = False

    def sparse(self, query, k, keep=lambda meta: True):
        hits = []
        for row, (i, pairs, meta, live) in enumerate(self.rows):
            if not live or not keep(meta):
                continue
            score, touched = F32(0), False
            for term, qw in query:
                for t, w in pairs:
                    if t == term:
                        score, touched = F32(score + F32(qw) * F32(w)), True
            if touched:
                hits.append((-float(score), row, i, float(score)))
        return [(i, s) for _, _, i, s in sorted(hits)[:k]]

    def row_of(self, i):
        return max(n for n, r in enumerate(self.rows) if r[0] == i and r[3])


def rrf(model, first, second, rrf_k, k):
    scores = {}
    for hits in (first, second):
        for r, (i, _) in enumerate(hits):
            scores[i] = F32(scores.get(i, F32(0)) + F32(1) / (F32(rrf_k) + F32(r) + F32(1)))
    ranked = sorted(scores.items(), key=lambda kv: (-float(kv[1]), model.row_of(kv[0])))
    return [(i, float(s)) for i, s in ranked[:k]]


@pytest.fixture
def seg(tmp_path):
    """60 rows in one list, Zipf-ish terms with float32 weights, two tags;
    then adds, upserts and deletes into the delta."""
    rng = np.random.default_rng(7)
    vectors = random_vectors(60, DIM, seed=4)
    model, sparse, metas = Model(), [], []
    for n in range(60):
        terms = sorted(set(int(t) for t in rng.zipf(1.6, size=6) % 40))
        pairs = [(t, float(F32(rng.integers(1, 8) / 4))) for t in terms]  # ties are common
        sparse.append(pairs)
        metas.append(json.dumps({"tag": "a" if n % 3 else "b"}))
        model.add(f"id{n}", pairs, {"tag": "a" if n % 3 else "b"})
    h = nimbrel.ZevireDarir(str(tmp_path / "seg"), DIM)
    h.build(vectors.tobytes(), 60, [f"id{n}" for n in range(60)], metas, 1, sparse=sparse)
    for n, (i, pairs, tag) in enumerate([("new0", [(1, 0.75), (2, 2.0)], "a"), ("id4", [(1, 1.5)], "b"),
                                         ("new1", [(0, 0.5), (1, 0.25)], "b"), ("id9", [], "a"),
                                         ("new2", [(1, 2.0), (1, 0.5)], "a")]):
        h.add(i, vectors[n] + 1, json.dumps({"tag": tag}), pairs)
        model.add(i, pairs, {"tag": tag})
    for i in ("id5", "new1"):
        h.delete(i)
        model.delete(i)
    return h, model, vectors, str(tmp_path / "seg")


QUERIES = [[(1, 1.0)], [(1, 0.5), (2, 1.25), (0, -1.0)], [(3, 2.0), (3, 1.0)], [(39, 1.0), (1000, 5.0)], []]


def test_sparse_search_is_the_dot_product_over_every_live_row(seg):
    h, model, _, path = seg
    tag_b = '{"tag": "b"}'
    for stage in ("delta", "flushed", "compacted"):
        for q in QUERIES:
            for k in (0, 1, 5, 200):
                assert h.sparse_search(q, k) == model.sparse(q, k), (stage, q, k)
            assert h.sparse_search(q, 200, filter_json=tag_b) == model.sparse(q, 200, lambda m: m["tag"] == "b")
        if stage == "delta":
            h.flush()
        elif stage == "flushed":
            h.compact()
            # Compaction renumbers the rows list by list: follow it in the model.
            model.rows = [r for r in model.rows if r[3]]
    assert all(type(s) is float for _, s in h.sparse_search([(1, 1.0)], 5))


def test_the_top_k_ends_exactly_where_a_full_sort_does(tmp_path):
    # Few terms and quarter weights: most rows are touched and ties are
    # everywhere, so the running top k cuts its buffer many times; every k
    # must still end where a full sort of the scores does.
    rng = np.random.default_rng(11)
    for s, n in enumerate(rng.integers(50, 601, size=8)):
        model, sparse = Model(), []
        for r in range(n):
            pairs = [(int(t), float(rng.integers(-4, 9) / 4)) for t in rng.integers(0, 6, size=rng.integers(1, 4))]
            sparse.append(pairs)
            model.add(f"r{r}", pairs, {})
        h = nimbrel.ZevireDarir(str(tmp_path / f"s{s}"), DIM)
        h.build(random_vectors(n, DIM, seed=s).tobytes(), n, [f"r{r}" for r in range(n)], ["{}"] * n, 1,
                sparse=sparse)
        for q in ([(0, 1.0)], [(1, 0.5), (2, -1.0), (1, 0.25)], [(3, 1.0), (4, 1.0), (5, 1.0)]):
            for k in range(1, 40):
                assert h.sparse_search(q, k) == model.sparse(q, k), (n, q, k)


def test_a_nan_score_ranks_after_every_number(tmp_path):
    # inf - inf: finite weights near the float range make a NaN score, in
    # main rows and added rows alike.
    big = 3e38
    sparse = [[(1, big), (2, -big)], [(1, -1.0)], [(2, 1.0)], [(1, 0.5)], [(1, -big)]]
    h = nimbrel.ZevireDarir(str(tmp_path / "seg"), DIM)
    h.build(random_vectors(5, DIM, seed=3).tobytes(), 5, [f"r{r}" for r in range(5)], ["{}"] * 5, 1,
            sparse=sparse)
    h.add("a", [0.5] * DIM, "{}", [(2, -big), (1, big)])
    q = [(1, 2.0), (2, 2.0)]
    want = ["r2", "r3", "r1", "r4", "r0", "a"]  # the two NaNs tie: lower row first
    for k in range(1, 8):
        got = h.sparse_search(q, k)
        assert [i for i, _ in got] == want[:k], k
        assert all(math.isnan(sc) for _, sc in got[4:]), k
    assert h.sparse_search(q, 4)[3] == ("r4", -math.inf)


def test_search_hybrid_fuses_the_two_rankings_by_reciprocal_rank(seg):
    h, model, vectors, _ = seg
    q = vectors[11] + 0.1
    for sq, k, rrf_k, f in (([(1, 1.0)], 10, 60.0, None), ([(1, 0.5), (2, 1.0)], 3, 1.0, '{"tag": "a"}'),
                            ([], 5, 60.0, None), ([(2, 1.0)], 12, 7.5, None)):
        depth = max(100, 10 * k)
        dense = h.search(q, depth, nprobe=64, rerank=500, filter_json=f)
        sparse = h.sparse_search(sq, depth, filter_json=f)
        got = h.search_hybrid(q, sq, k, filter_json=f, rrf_k=rrf_k)
        assert got == rrf(model, dense, sparse, rrf_k, k), (sq, k, rrf_k, f)
    assert h.search_hybrid(q, [(1, 1.0)], 0) == []
    # First in both lists: 2/61; first in one only: 1/61.
    top = h.sparse_search([(2, 1.0)], 1)[0][0]
    v = h.get_vectors([top])[0]
    first = h.search_hybrid(v, [(2, 1.0)], 1)[0]
    assert first == (top, float(F32(2) * (F32(1) / F32(61))))


def test_the_exact_fallback_fills_a_short_fused_list(seg):
    h, model, vectors, _ = seg
    # One list probed of one: everything is probed, so make the filter keep
    # few rows and the depth exceed them; the fallback's exact list is then
    # all passing rows, fused with the same sparse list.
    f = '{"tag": "b"}'
    q = vectors[3]
    k = 40
    got = h.search_hybrid(q, [(1, 1.0)], k, nprobe=1, rerank=1, filter_json=f, ensure_target_k=True)
    exact = h.search(q, 1000, nprobe=1, rerank=1, filter_json=f, ensure_target_k=True)
    sparse = h.sparse_search([(1, 1.0)], 400, filter_json=f)
    live_b = [r[0] for r in model.rows if r[3] and r[2]["tag"] == "b"]
    assert len(got) == len(live_b) < k
    assert got == rrf(model, h.search(q, 400, nprobe=64, rerank=10 ** 6, filter_json=f), sparse, 60.0, k)
    assert sorted(i for i, _ in got) == sorted(i for i, _ in exact)


def test_argument_errors(seg):
    h, _, vectors, _ = seg
    q = vectors[0]
    cases = [
        (lambda: h.sparse_search([(1, float("nan")), (2, float("inf"))], 5), ValueError,
         "sparse query has a non-finite weight at position 0 (NaN); a NaN/inf sparse weight cannot be ranked"),
        (lambda: h.search_hybrid(q, [(1, 1.0), (2, -float("inf"))], 5), ValueError,
         "sparse query has a non-finite weight at position 1 (-inf); a NaN/inf sparse weight cannot be ranked"),
        (lambda: h.sparse_search([(1, 1.0, 2)], 5), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        (lambda: h.sparse_search([[1, 1.0]], 5), TypeError, "argument 'sparse_query': "),
        (lambda: h.sparse_search("ab", 5), TypeError, "argument 'sparse_query': Can't extract `str` to `Vec`"),
        (lambda: h.sparse_search([(-1, 1.0)], 5), OverflowError, None),
        (lambda: h.sparse_search([(2 ** 32, 1.0)], 5), OverflowError, None),
        (lambda: h.sparse_search([(1, 1.0)], -1), OverflowError, None),
        (lambda: h.search_hybrid(q[:4], [], 5), ValueError, f"query dim 4 != {DIM}"),
        (lambda: h.search_hybrid(q, [], 5, filter_json="[1]"), ValueError, "filter must be an object, got [1]"),
        (lambda: h.sparse_search([], 5, filter_json="{"), ValueError, "bad filter: "),
    ]
    # The refused float32 in its shortest round-trip digits, never in
    # exponent form: large magnitudes padded with zeros, small ones after "0.".
    for bad, msg in ((0.0, "0"), (-0.0, "-0"), (-1.0, "-1"), (float("nan"), "NaN"), (1e39, "inf"),
                     (float("inf"), "inf"), (-float("inf"), "-inf"), (-3e38, "-3" + "0" * 38),
                     (-123456789, "-123456790"), (-0.1, "-0.1"), (-1.5e-7, "-0.00000015"),
                     (-1e-45, "-0." + "0" * 44 + "1"), (-2.5e-38, "-0." + "0" * 37 + "25")):
        cases.append((lambda b=bad: h.search_hybrid(q, [], 5, rrf_k=b), ValueError,
                      f"rrf_k must be a finite positive number, got {msg}"))
    for call, kind, message in cases:
        with pytest.raises(kind) as e:
            call()
        if message is not None:
            assert str(e.value).startswith(message), str(e.value)
            if "rrf_k" in message:
                assert str(e.value) == message
    # Checked in order: the query and the weights before rrf_k.
    with pytest.raises(ValueError, match="non-finite weight"):
        h.search_hybrid(q, [(1, float("nan"))], 5, rrf_k=0)
    assert len(h.search_hybrid(q, [], 5, rrf_k=1e-40)) == 5


def test_damaged_postings_are_skipped_never_read_past_the_segment(seg):
    # Checksums are not verified at open (budget 0), so the damage reaches
    # the search: postings of a row past the end, a NaN and an infinite
    # weight. They count for nothing; everything else scores as before.
    h, model, _, path = seg
    h.compact()
    want = h.sparse_search([(1, 1.0), (2, 1.0)], 500)
    h.close()
    sparse = bytearray(open(os.path.join(path, "sparse.bin"), "rb").read())
    count = struct.unpack_from("<Q", sparse, 0)[0]
    directory = [struct.unpack_from("<II", sparse, 8 + 8 * i) for i in range(count)]
    at = 8 + 8 * count
    for term, n in directory:
        if term in (1, 2):
            # The last posting of each of the two terms, made hostile.
            struct.pack_into("<If", sparse, at + 8 * (n - 1), 10 ** 9 if term == 1 else 0,
                             float("nan") if term == 2 else 1.0)
            if n > 1:
                struct.pack_into("<f", sparse, at + 8 * (n - 2) + 4, float("inf"))
        at += 8 * n
    open(os.path.join(path, "sparse.bin"), "wb").write(bytes(sparse))
    out = run_python("""
        import json, sys, nimbrel
        h = nimbrel.ZevireDarir(sys.argv[1], 8)
        print(json.dumps(h.sparse_search([(1, 1.0), (2, 1.0)], 500)))
    """, path, env={"NIMBREL_VERIFY_MAX_BYTES": "0"})
    got = dict(json.loads(out))
    assert set(got) <= {i for i, _ in want}
    assert all(s == s and abs(s) != float("inf") for s in got.values())
    # A directory out of order, or whose counts do not add up to the file,
    # is refused when the segment opens.
    for name, damage in (("order", lambda b: b[8:16] + b[0:8]), ("count", lambda b: b[:4] + b"\xff" + b[5:])):
        bad = bytearray(sparse)
        bad[8:24] = damage(bytes(sparse[8:24]))
        open(os.path.join(path, "sparse.bin"), "wb").write(bytes(bad))
        out = run_python("""
            import sys, nimbrel
            try:
                nimbrel.ZevireDarir(sys.argv[1], 8)
            except OSError as e:
                print(e)
        """, path, env={"NIMBREL_VERIFY_MAX_BYTES": "0"})
        assert out.startswith("corrupt index: sparse.bin: "), (name, out)


def test_hybrid_search_reads_one_state_while_rows_are_upserted(tmp_path):
    # Its three rankings (sparse, dense, the exact fallback) must see the
    # same rows: an upsert between two of them would put the old row in one
    # list and the new one in another, the same id twice.
    n = 3000
    vectors = random_vectors(n, DIM, seed=9)
    h = nimbrel.ZevireDarir(str(tmp_path / "seg"), DIM)
    h.build(vectors.tobytes(), n, [f"r{i}" for i in range(n)], ["{}"] * n, 4, sparse=[[(1, 1.0)]] * n)
    h.set_durability(10 ** 6)
    stop = threading.Event()

    def upsert():
        i = 0
        while not stop.is_set():
            h.add(f"r{i % 50}", vectors[i % 50], "{}", [(1, 1.0)])
            i += 1

    writer = threading.Thread(target=upsert)
    writer.start()
    try:
        for _ in range(60):
            ids = [i for i, _ in h.search_hybrid(vectors[0], [(1, 1.0)], n + 100, nprobe=1, rerank=10,
                                                 ensure_target_k=True)]
            assert len(ids) == len(set(ids)) == n
    finally:
        stop.set()
        writer.join()
