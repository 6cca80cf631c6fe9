"""search: recall against brute force, filters, result shape and edge cases."""

import json
import shutil
import struct
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from conftest import build_segment, ids_of, random_vectors, run_python


def test_recall_at_10_against_brute_force_is_high(built):
    vectors, h = built
    queries = random_vectors(50, vectors.shape[1], seed=99)
    found = 0
    for q in queries:
        exact = ((vectors.astype(np.float64) - q) ** 2).sum(axis=1)
        hits = h.search(q.tobytes(), 10, nprobe=20, rerank=400)
        found += len({f"id{i}" for i in np.argsort(exact)[:10]} & set(ids_of(hits)))
    assert found / (10 * len(queries)) >= 0.9


def test_results_ascend_with_near_exact_distances_whatever_the_query_form(built):
    vectors, h = built
    q = random_vectors(1, vectors.shape[1], seed=5)[0]
    hits = h.search(q.tolist(), 25, nprobe=40)
    assert h.search(q.tobytes(), 25, nprobe=40) == h.search(q, 25, nprobe=40) == hits
    assert len(hits) == 25
    assert all(isinstance(i, str) and type(d) is float for i, d in hits)
    assert [d for _, d in hits] == sorted(d for _, d in hits)
    for i, d in hits:
        exact = float(((vectors[int(i[2:])].astype(np.float64) - q) ** 2).sum())
        assert d == pytest.approx(exact, rel=0.05, abs=0.05)


def test_a_smaller_k_returns_the_first_k_of_the_answer_for_k_equal_to_rerank(built):
    # The pool holds max(rerank, k) candidates whatever k is and all of them
    # are reranked, so k only cuts the answer: it never changes what comes first.
    vectors, h = built
    for q in random_vectors(10, vectors.shape[1], seed=31):
        for rerank in (2, 5, 20, 100):
            full = h.search(q, rerank, rerank=rerank)
            assert len(full) == rerank
            for k in sorted({1, rerank // 2, rerank - 1}):
                assert h.search(q, k, rerank=rerank) == full[:k], (rerank, k)


def test_k_zero_returns_nothing_but_still_checks_the_filter_and_nprobe_zero_is_one(built):
    vectors, h = built
    assert h.search(vectors[0].tolist(), 0) == []
    with pytest.raises(ValueError):
        h.search(vectors[0].tolist(), 0, filter_json="[1]")
    q = random_vectors(1, vectors.shape[1], seed=12)[0].tolist()
    assert h.search(q, 10, nprobe=0) == h.search(q, 10, nprobe=1)


def test_none_empty_and_null_mean_no_filter(built):
    vectors, h = built
    q = vectors[9].tolist()
    expected = h.search(q, 8)
    for text in (None, "", "null"):
        assert h.search(q, 8, filter_json=text) == expected


@pytest.mark.parametrize("text, message", [
    (" null", "^filter must be an object, got null$"),
    ("[1,2]", r"^filter must be an object, got \[1,2\]$"),
    ('{"i": {"$gt": "1"}}', r"^\$gt on field 'i' expects a number, got \"1\"$"),
    ('{"i": {"$regex": "x"}}', r"^unknown operator '\$regex' on field 'i'$"),
    ("NULL", "^bad filter: "),
    ("{", "^bad filter: "),
])
def test_filters_that_do_not_compile_are_value_errors(built, text, message):
    vectors, h = built
    with pytest.raises(ValueError, match=message) as e:
        h.search(vectors[0].tolist(), 3, filter_json=text)
    assert type(e.value) is ValueError


def test_filtered_results_all_pass_the_filter(built):
    vectors, h = built
    hits = h.search(vectors[40].tolist(), 30, nprobe=10,
                    filter_json='{"parity": "odd", "bucket": {"$in": [1, 3]}}')
    assert len(hits) == 30
    assert all(int(i[2:]) % 2 == 1 and int(i[2:]) % 10 in (1, 3) for i, _ in hits)


def test_ensure_target_k_finds_every_match_of_a_selective_filter(built):
    vectors, h = built
    flt = json.dumps({"i": {"$lt": 6}})
    q = random_vectors(1, vectors.shape[1], seed=11)[0].tolist()
    all_hits = h.search(q, 10, nprobe=1, filter_json=flt, ensure_target_k=True)
    assert sorted(ids_of(all_hits)) == [f"id{i}" for i in range(6)]  # short: never padded
    assert len(h.search(q, 10, nprobe=1, filter_json=flt)) <= 6


def test_equal_distances_come_back_in_row_order(seg_path):
    vectors = random_vectors(64, 4, seed=3)
    vectors[40] = vectors[50] = vectors[10]
    hits = build_segment(seg_path, vectors, n_clusters=1).search(vectors[10].tolist(), 3, nprobe=1)
    assert ids_of(hits) == ["id10", "id40", "id50"]
    assert hits[0][1] == hits[1][1] == hits[2][1]


def test_concurrent_searches_on_one_handle_agree(built):
    vectors, h = built
    queries = random_vectors(16, vectors.shape[1], seed=21)
    expected = [h.search(q.tobytes(), 10, filter_json='{"parity": "even"}') for q in queries]

    def worker(_):
        for _ in range(5):
            for q, want in zip(queries, expected):
                assert h.search(q.tobytes(), 10, filter_json='{"parity": "even"}') == want

    with ThreadPoolExecutor(6) as pool:
        list(pool.map(worker, range(6)))  # re-raises the first failure



def test_rows_with_nan_factors_still_enter_a_pool_with_room(tmp_path):
    # Damage past the open-time checksum budget: NaN estimator factors make
    # NaN estimates. Such a row ranks last among the candidates, never out:
    # with every list probed and room for every row, it comes back with its
    # true distance (the rerank reads the intact 8-bit copy).
    n = 300
    vectors = random_vectors(n, 8, seed=17)
    build_segment(tmp_path / "seg", vectors, n_clusters=6).close()
    shutil.copytree(tmp_path / "seg", tmp_path / "damaged")
    metas = bytearray((tmp_path / "damaged" / "metas.bin").read_bytes())
    for row, fields in ((0, range(4)), (137, [0]), (n - 1, [1, 3])):
        for f in fields:
            struct.pack_into("<f", metas, 16 * row + 4 * f, float("nan"))
    (tmp_path / "damaged" / "metas.bin").write_bytes(bytes(metas))
    code = """
        import json, sys, numpy as np, nimbrel
        h = nimbrel.ZevireDarir(sys.argv[1], 8)
        queries = np.frombuffer(bytes.fromhex(sys.argv[2]), np.float32).reshape(-1, 8)
        print(json.dumps([h.search(q, 400, nprobe=6, rerank=int(sys.argv[3]), ensure_target_k=True)
                          for q in queries]))
    """
    queries = random_vectors(3, 8, seed=18).tobytes().hex()
    for rerank in (n, 2 * n):
        want = json.loads(run_python(code, tmp_path / "seg", queries, rerank))
        got = json.loads(run_python(code, tmp_path / "damaged", queries, rerank,
                                    env={"NIMBREL_VERIFY_MAX_BYTES": "0"}))
        assert all(len(hits) == n for hits in want)
        assert got == want
