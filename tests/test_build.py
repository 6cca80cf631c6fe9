"""build: input checks, in-place and swapped builds, and what the handle holds afterwards."""

import json
import os

import numpy as np
import pytest

import nimbrel
from conftest import build_segment, random_vectors


def generation_of(path):
    with open(os.path.join(path, "generation"), "rb") as f:
        return int.from_bytes(f.read(), "little")


def siblings(path):
    return sorted(p for p in os.listdir(os.path.dirname(path))
                  if p.startswith(os.path.basename(path) + "."))


# ---- checks before anything is touched ---------------------------------------------


def test_length_checks_come_in_order_and_touch_nothing(seg_path):
    h = nimbrel.ZevireDarir(seg_path, 4)
    with pytest.raises(ValueError, match=r"^vectors bytes 31 != n\*dim\*4 32$"):
        h.build(b"\0" * 31, 2, ["only one id"], [], 1)
    with pytest.raises(ValueError, match=r"^ids length 1 != n 2$"):
        h.build(b"\0" * 32, 2, ["a"], [], 1)
    with pytest.raises(ValueError, match=r"^metadatas length 0 != n 2$"):
        h.build(b"\0" * 32, 2, ["a", "b"], [], 1)
    with pytest.raises(ValueError, match=r"^sparse length 2 != n 3$"):
        h.build(b"\0" * 48, 3, ["a", "b", "c"], ["{}"] * 3, 1, sparse=[[], []])
    with pytest.raises(ValueError, match=r"^vectors bytes 0 != n\*dim\*4 295147905179352825840$"):
        h.build(b"", 2 ** 64 - 1, [], [], 1)
    assert not os.path.exists(seg_path)
    assert h.count() == 0


def test_non_finite_vectors_report_row_and_column_of_the_first(seg_path):
    h = nimbrel.ZevireDarir(seg_path, 4)
    v = np.zeros((3, 4), dtype=np.float32)
    v.flat[9] = np.nan
    with pytest.raises(ValueError) as e:
        h.build(v.tobytes(), 3, ["a", "b", "c"], ["{}"] * 3, 1)
    assert str(e.value) == "vector 2 has a non-finite component at index 1 (NaN); a NaN/inf vector cannot be ranked"

    # Many chunks of the parallel scan: the lowest index wins whatever runs first.
    n, dim = 60000, 5
    v = np.zeros((n, dim), dtype=np.float32)
    v[59000, 4] = np.nan
    v[31000, 2] = np.inf
    v[45000, 1] = -np.inf
    with pytest.raises(ValueError) as e:
        nimbrel.ZevireDarir(seg_path, dim).build(v.tobytes(), n, [str(i) for i in range(n)],
                                                 ["null"] * n, 1)
    assert str(e.value) == "vector 31000 has a non-finite component at index 2 (inf); a NaN/inf vector cannot be ranked"
    assert not os.path.exists(seg_path)


# ---- in-place and swapped builds ---------------------------------------------------


def test_first_build_is_in_place_at_generation_zero_and_a_rebuild_swaps(seg_path):
    vectors = random_vectors(300, 8, seed=2)
    h = build_segment(seg_path, vectors, n_clusters=5)
    assert generation_of(seg_path) == 0
    assert h.count() == 300
    assert siblings(seg_path) == ["seg.lock"]

    h.build(vectors[:200].tobytes(), 200, [f"b{i}" for i in range(200)], ["{}"] * 200, 4)
    assert generation_of(seg_path) == 1
    assert siblings(seg_path) == ["seg.lock"]
    assert h.count() == 200
    assert h.search(vectors[17].tolist(), 1, nprobe=4)[0][0] == "b17"

    h.build(vectors[:10].tobytes(), 10, [f"c{i}" for i in range(10)], ["{}"] * 10, 1)
    assert generation_of(seg_path) == 2
    assert h.count() == 10


def test_build_reports_the_segment_it_wrote(seg_path):
    vectors = random_vectors(500, 6, seed=4)
    h = build_segment(seg_path, vectors, n_clusters=7)
    assert h.stats() == (500, 0, 0)
    assert h.fit_count() == 500
    assert h.format_version() == (3, 3)
    # No explicit scale: the largest absolute input value.
    assert h.quant_scale() == pytest.approx(float(np.abs(vectors).max()), rel=1e-6)

    h.build(vectors.tobytes(), 500, [str(i) for i in range(500)], ["{}"] * 500, 7, quant_scale=9.5)
    assert h.quant_scale() == 9.5


def test_invalid_metadata_fails_after_the_lock_and_leaves_the_live_segment(seg_path):
    vectors = random_vectors(100, 4, seed=8)
    h = build_segment(seg_path, vectors, n_clusters=3)
    metas = ["{}"] * 100
    metas[5] = ""
    metas[70] = "{oops"
    with pytest.raises(OSError) as e:
        h.build(vectors.tobytes(), 100, [f"x{i}" for i in range(100)], metas, 3)
    msg = str(e.value)
    assert type(e.value) is OSError
    assert msg.startswith("build: metadata[5] is not valid JSON (")
    assert msg.endswith('); pass "{}" or "null" explicitly')
    assert h.count() == 100
    assert generation_of(seg_path) == 0
    assert h.search(vectors[3].tolist(), 1, nprobe=3)[0][0] == "id3"
    # The staging directory of the failed build is cleared by the next one.
    h.build(vectors.tobytes(), 100, [f"x{i}" for i in range(100)], ["{}"] * 100, 3)
    assert siblings(seg_path) == ["seg.lock"]


def test_metadata_is_stored_canonically_and_filters_see_it(seg_path):
    vectors = random_vectors(40, 4, seed=1)
    metas = [json.dumps({"z": i, "a": "x" if i < 10 else "y"}) for i in range(40)]
    h = build_segment(seg_path, vectors, metas=metas, n_clusters=2)
    hits = h.search(vectors[0].tolist(), 40, nprobe=2, rerank=40, filter_json='{"a": "x"}',
                    ensure_target_k=True)
    assert sorted(i for i, _ in hits) == sorted(f"id{i}" for i in range(10))


def test_empty_sparse_list_means_no_sparse_terms(seg_path):
    h = nimbrel.ZevireDarir(seg_path, 2)
    h.build(np.arange(6, dtype=np.float32).tobytes(), 3, ["a", "b", "c"], ["{}"] * 3, 1, sparse=[])
    assert h.count() == 3
    h.build(np.arange(6, dtype=np.float32).tobytes(), 3, ["a", "b", "c"], ["{}"] * 3, 1,
            sparse=[[(1, 0.5)], [], [(2, 1.0), (3, -2.0)]])
    assert h.count() == 3


def test_core_refusals_are_os_errors_with_the_core_message(seg_path):
    h = nimbrel.ZevireDarir(seg_path, 2, n_bits=9)
    with pytest.raises(OSError) as e:
        h.build(np.ones(4, dtype=np.float32).tobytes(), 2, ["a", "b"], ["{}"] * 2, 1)
    assert type(e.value) is OSError
    assert str(e.value).startswith("build: ")


def test_build_accepts_a_pca_basis_and_a_seed(seg_path):
    vectors = random_vectors(50, 4)
    h = build_segment(seg_path, vectors, n_clusters=2, seed=7,
                      pca=[[0.0] * 4, [1.0] * 12], skip_index=["bucket"])
    assert h.count() == 50
    with pytest.raises(ValueError):
        h.search(vectors[0].tolist(), 3, filter_json='{"bucket": 1}')


def test_build_releases_the_directory_lock_on_success_and_failure(seg_path):
    import fcntl
    vectors = random_vectors(30, 4)
    h = build_segment(seg_path, vectors, n_clusters=1)
    with open(seg_path + ".lock", "r+b") as f:
        fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)  # raises if still held
    with pytest.raises(OSError):
        h.build(vectors.tobytes(), 30, [str(i) for i in range(30)], ["nope"] * 30, 1)
    with open(seg_path + ".lock", "r+b") as f:
        fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)


def test_a_lock_file_that_cannot_be_opened_is_reported_as_the_rendered_os_error(seg_path):
    h = nimbrel.ZevireDarir(seg_path, 4)
    os.remove(seg_path + ".lock")
    os.mkdir(seg_path + ".lock")  # open(O_RDWR) of a directory fails with EISDIR
    with pytest.raises(OSError) as e:
        h.build(random_vectors(10, 4).tobytes(), 10, [str(i) for i in range(10)], ["{}"] * 10, 1)
    assert type(e.value) is OSError
    assert str(e.value) == "OSError: Is a directory (os error 21)"
    assert not os.path.exists(seg_path)
