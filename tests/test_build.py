"""build: in-place and swapped builds, failures after the lock, and what the handle holds afterwards."""

import fcntl
import os

import numpy as np
import pytest

import nimbrel
from conftest import build_segment, random_vectors


def generation_of(path):
    with open(os.path.join(path, "generation"), "rb") as f:
        return int.from_bytes(f.read(), "little")


def assert_lock_is_free(path):
    with open(path + ".lock", "r+b") as f:
        fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)  # raises if still held


def test_first_build_is_in_place_at_generation_zero_and_a_rebuild_swaps(tmp_path, seg_path):
    vectors = random_vectors(300, 8, seed=2)
    h = build_segment(seg_path, vectors, n_clusters=5)
    assert generation_of(seg_path) == 0
    assert sorted(os.listdir(tmp_path)) == ["seg", "seg.lock"]
    assert_lock_is_free(seg_path)
    assert (h.count(), h.stats(), h.fit_count(), h.format_version()) == (300, (300, 0, 0), 300, (3, 3))
    # No explicit scale: the largest absolute input value.
    assert h.quant_scale() == pytest.approx(float(np.abs(vectors).max()), rel=1e-6)

    h.build(vectors[:200].tobytes(), 200, [f"b{i}" for i in range(200)], ["{}"] * 200, 4,
            quant_scale=9.5)
    assert generation_of(seg_path) == 1
    assert sorted(os.listdir(tmp_path)) == ["seg", "seg.lock"]
    assert (h.count(), h.quant_scale()) == (200, 9.5)
    assert h.search(vectors[17].tolist(), 1, nprobe=4)[0][0] == "b17"

    h.build(vectors[:10].tobytes(), 10, [f"c{i}" for i in range(10)], ["{}"] * 10, 1)
    assert generation_of(seg_path) == 2
    assert h.count() == 10


def test_invalid_metadata_fails_after_the_lock_and_leaves_the_live_segment(tmp_path, seg_path):
    vectors = random_vectors(100, 4, seed=8)
    h = build_segment(seg_path, vectors, n_clusters=3)
    metas = ["{}"] * 100
    metas[5] = ""
    metas[70] = "{oops"
    with pytest.raises(OSError) as e:
        h.build(vectors.tobytes(), 100, [f"x{i}" for i in range(100)], metas, 3)
    assert type(e.value) is OSError
    assert str(e.value).startswith("build: metadata[5] is not valid JSON (")
    assert str(e.value).endswith('); pass "{}" or "null" explicitly')
    assert_lock_is_free(seg_path)
    assert h.count() == 100
    assert generation_of(seg_path) == 0
    assert h.search(vectors[3].tolist(), 1, nprobe=3)[0][0] == "id3"
    # The staging directory of the failed build is cleared by the next one.
    h.build(vectors.tobytes(), 100, [f"x{i}" for i in range(100)], ["{}"] * 100, 3)
    assert sorted(os.listdir(tmp_path)) == ["seg", "seg.lock"]


@pytest.mark.parametrize("text, why", [
    ('{"k": 1}\x00 junk', "parse error at byte 9: a NUL byte cannot appear in JSON text"),
    # A fault before the NUL is the one reported.
    ("[1 x\x00", "parse error at line 1, column 4: syntax error while parsing array - invalid literal; "
                 "last read: '1 x'; expected ']'"),
])
def test_metadata_with_a_nul_byte_is_not_json(seg_path, text, why):
    vectors = random_vectors(2, 4, seed=9)
    h = nimbrel.ZevireDarir(seg_path, 4)
    with pytest.raises(OSError) as e:
        h.build(vectors.tobytes(), 2, ["a", "b"], ["{}", text], 1)
    assert str(e.value) == f'build: metadata[1] is not valid JSON ({why}); pass "{{}}" or "null" explicitly'


@pytest.mark.parametrize("depth", [1001, 200_000])
def test_metadata_nested_too_deeply_is_refused_not_a_crash(seg_path, depth):
    vectors = random_vectors(3, 4, seed=9)
    # Too deep counts as not JSON: the lowest such row is reported.
    metas = ["{}", "[" * depth + "]" * depth, "{oops"]
    h = nimbrel.ZevireDarir(seg_path, 4)
    with pytest.raises(OSError) as e:
        h.build(vectors.tobytes(), 3, ["a", "b", "c"], metas, 1)
    assert str(e.value) == ('build: metadata[1] is not valid JSON (nested more than 1000 levels deep); '
                            'pass "{}" or "null" explicitly')
    h.build(vectors.tobytes(), 3, ["a", "b", "c"], ["{}", "[" * 1000 + "]" * 1000, "{}"], 1)
    assert h.count() == 3


def test_optional_inputs_are_accepted_and_skip_index_drops_the_column(seg_path):
    h = nimbrel.ZevireDarir(seg_path, 2)
    h.build(np.arange(6, dtype=np.float32).tobytes(), 3, ["a", "b", "c"], ["{}"] * 3, 1, sparse=[])
    h.build(np.arange(6, dtype=np.float32).tobytes(), 3, ["a", "b", "c"], ["{}"] * 3, 1,
            sparse=[[(1, 0.5)], [], [(2, 1.0), (3, -2.0)]])
    assert h.count() == 3

    vectors = random_vectors(50, 4)
    h = build_segment(seg_path + "2", vectors, seed=7, pca=[[0.0] * 4, [1.0] * 12], skip_index=["bucket"])
    assert h.count() == 50
    with pytest.raises(ValueError):
        h.search(vectors[0].tolist(), 3, filter_json='{"bucket": 1}')


def test_a_lock_file_that_cannot_be_opened_is_reported_as_the_rendered_os_error(seg_path):
    h = nimbrel.ZevireDarir(seg_path, 4)
    os.remove(seg_path + ".lock")
    os.mkdir(seg_path + ".lock")  # open(O_RDWR) of a directory fails with EISDIR
    with pytest.raises(OSError) as e:
        h.build(random_vectors(10, 4).tobytes(), 10, [str(i) for i in range(10)], ["{}"] * 10, 1)
    assert type(e.value) is OSError
    assert str(e.value) == f"OSError: {os.path.realpath(seg_path)}.lock: Is a directory (os error 21)"
    assert not os.path.exists(seg_path)

