"""search: recall against brute force, filters, result shape and edge cases."""

import json
import threading

import numpy as np
import pytest

import nimbrel
from conftest import brute_force, build_segment, random_vectors


def ids_of(hits):
    return [i for i, _ in hits]


def test_recall_at_10_against_brute_force_is_high(built):
    _, vectors, h = built
    queries = random_vectors(50, vectors.shape[1], seed=99)
    found = 0
    for q in queries:
        truth, _ = brute_force(vectors, q, 10)
        hits = h.search(q.tobytes(), 10, nprobe=20, rerank=400)
        found += len({f"id{i}" for i in truth} & set(ids_of(hits)))
    assert found / (10 * len(queries)) >= 0.9


def test_results_ascend_and_distances_are_close_to_exact(built):
    _, vectors, h = built
    q = random_vectors(1, vectors.shape[1], seed=5)[0]
    hits = h.search(q.tolist(), 25, nprobe=40)
    assert len(hits) == 25
    assert all(isinstance(i, str) and type(d) is float for i, d in hits)
    dists = [d for _, d in hits]
    assert dists == sorted(dists)
    for i, d in hits:
        exact = float(((vectors[int(i[2:])].astype(np.float64) - q) ** 2).sum())
        assert d == pytest.approx(exact, rel=0.05, abs=0.05)


def test_bytes_and_float_sequences_give_the_same_answer(built):
    _, vectors, h = built
    q = vectors[123]
    expected = h.search(q.tobytes(), 5)
    assert h.search(q.tolist(), 5) == expected
    assert h.search(q, 5) == expected  # a numpy array is a sequence
    assert expected[0][0] == "id123"


def test_k_zero_returns_nothing_but_still_checks_the_filter(built, seg_path):
    _, vectors, h = built
    assert h.search(vectors[0].tolist(), 0) == []
    with pytest.raises(ValueError):
        h.search(vectors[0].tolist(), 0, filter_json="[1]")
    with pytest.raises(RuntimeError, match=r"^index not built/opened$"):
        nimbrel.ZevireDarir(seg_path, vectors.shape[1]).search(vectors[0].tolist(), 0)


def test_no_filter_spellings(built):
    _, vectors, h = built
    q = vectors[9].tolist()
    expected = h.search(q, 8)
    assert h.search(q, 8, filter_json=None) == expected
    assert h.search(q, 8, filter_json="") == expected
    assert h.search(q, 8, filter_json="null") == expected
    with pytest.raises(ValueError, match=r"^filter must be an object, got null$"):
        h.search(q, 8, filter_json=" null")
    with pytest.raises(ValueError, match=r"^bad filter: "):
        h.search(q, 8, filter_json="NULL")


def test_filtered_results_all_pass_the_filter(built):
    _, vectors, h = built
    q = vectors[40].tolist()
    hits = h.search(q, 30, nprobe=10, filter_json='{"parity": "odd", "bucket": {"$in": [1, 3]}}')
    assert len(hits) == 30
    for i, _ in hits:
        n = int(i[2:])
        assert n % 2 == 1 and n % 10 in (1, 3)


def test_ensure_target_k_finds_every_match_of_a_selective_filter(built):
    _, vectors, h = built
    flt = json.dumps({"i": {"$lt": 6}})
    q = random_vectors(1, vectors.shape[1], seed=11)[0].tolist()
    all_hits = h.search(q, 10, nprobe=1, filter_json=flt, ensure_target_k=True)
    assert sorted(ids_of(all_hits)) == [f"id{i}" for i in range(6)]  # short: never padded
    assert len(h.search(q, 10, nprobe=1, filter_json=flt)) <= 6


def test_nprobe_zero_behaves_as_one(built):
    _, vectors, h = built
    q = random_vectors(1, vectors.shape[1], seed=12)[0].tolist()
    assert h.search(q, 10, nprobe=0) == h.search(q, 10, nprobe=1)


def test_equal_distances_come_back_in_row_order(seg_path):
    vectors = random_vectors(64, 4, seed=3)
    vectors[40] = vectors[10]
    vectors[50] = vectors[10]
    h = build_segment(seg_path, vectors, n_clusters=1)
    hits = h.search(vectors[10].tolist(), 3, nprobe=1)
    assert ids_of(hits) == ["id10", "id40", "id50"]
    assert hits[0][1] == hits[1][1] == hits[2][1]


def test_concurrent_searches_on_one_handle_agree(built):
    _, vectors, h = built
    queries = random_vectors(16, vectors.shape[1], seed=21)
    expected = [h.search(q.tobytes(), 10, filter_json='{"parity": "even"}') for q in queries]
    results, errors = {}, []

    def worker(t):
        try:
            for _ in range(5):
                for j, q in enumerate(queries):
                    assert h.search(q.tobytes(), 10, filter_json='{"parity": "even"}') == expected[j]
            results[t] = True
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and len(results) == 6
