"""Handle construction, directory recovery, close, and seeing other writers' segments."""

import os
import pathlib
import threading
import time

import pytest

import nimbrel
from conftest import build_segment, random_vectors, run_python


def ids_of(hits):
    return [i for i, _ in hits]


# ---- construction --------------------------------------------------------------


def test_dim_zero_is_refused_before_the_lock_file_is_created(tmp_path):
    with pytest.raises(ValueError, match=r"^dim must be >= 1$"):
        nimbrel.ZevireDarir(str(tmp_path / "seg"), 0)
    assert not (tmp_path / "seg.lock").exists()


def test_a_missing_directory_gives_an_empty_handle_with_a_lock_file_beside_it(tmp_path):
    h = nimbrel.ZevireDarir(str(tmp_path / "seg"), 8)
    assert (tmp_path / "seg.lock").is_file()
    assert not (tmp_path / "seg").exists()
    assert h.count() == 0
    with pytest.raises(RuntimeError, match=r"^index not built/opened$"):
        h.search([0.0] * 8, 1)


def test_the_lock_file_sits_beside_the_directory_however_the_path_is_spelled(tmp_path, monkeypatch):
    nimbrel.ZevireDarir(str(tmp_path / "a") + "/", 4)
    nimbrel.ZevireDarir(str(tmp_path / "b") + "/.", 4)
    monkeypatch.chdir(tmp_path)
    nimbrel.ZevireDarir("c", 4)
    nimbrel.ZevireDarir("./d//", 4)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.lock", "b.lock", "c.lock", "d.lock"]


def test_a_missing_parent_directory_is_an_os_error(tmp_path):
    with pytest.raises(OSError):
        nimbrel.ZevireDarir(str(tmp_path / "no" / "such" / "seg"), 8)


def test_dim_mismatch_names_both_dims_and_the_quoted_path(tmp_path):
    path = str(tmp_path / 'se"g\\7')
    build_segment(path, random_vectors(60, 16), n_clusters=2)
    quoted = '"' + path.replace("\\", "\\\\").replace('"', '\\"') + '"'
    with pytest.raises(ValueError) as e:
        nimbrel.ZevireDarir(path, 8)
    assert str(e.value) == f"dim mismatch: opened with dim=8 but the index at {quoted} was built with dim=16"


def test_a_segment_of_another_dim_built_later_is_refused_not_served(tmp_path):
    path = str(tmp_path / "seg")
    h4 = nimbrel.ZevireDarir(path, 4)
    h8 = build_segment(path, random_vectors(50, 8), n_clusters=2)
    with pytest.raises(ValueError, match=r"^dim mismatch: opened with dim=4 but the index at .* was built with dim=8$"):
        h4.search([0.0] * 4, 3)
    h4.build(random_vectors(30, 4).tobytes(), 30, [str(i) for i in range(30)], ["{}"] * 30, 2)
    time.sleep(0.06)
    with pytest.raises(ValueError, match=r"^dim mismatch: opened with dim=8 "):
        h8.search([0.0] * 8, 3)
    assert len(h4.search([0.0] * 4, 3)) == 3


def test_argument_types_are_checked_in_order(tmp_path):
    with pytest.raises(TypeError, match=r"^argument 'path': 'PosixPath' object cannot be converted"):
        nimbrel.ZevireDarir(pathlib.Path(tmp_path / "seg"), 8)
    with pytest.raises(TypeError, match=r"^argument 'dim': "):
        nimbrel.ZevireDarir(str(tmp_path / "seg"), "8")
    with pytest.raises(OverflowError):
        nimbrel.ZevireDarir(str(tmp_path / "seg"), -8)
    with pytest.raises(OverflowError):
        nimbrel.ZevireDarir(str(tmp_path / "seg"), 8, -1)
    with pytest.raises(TypeError, match=r"^argument 'skip_fields': Can't extract `str` to `Vec`$"):
        nimbrel.ZevireDarir(str(tmp_path / "seg"), 8, 2, "bucket")
    nimbrel.ZevireDarir(str(tmp_path / "seg"), 8, skip_fields=[])
    nimbrel.ZevireDarir(str(tmp_path / "seg"), 8, skip_fields=None)


def test_skip_fields_reach_the_opened_segment(tmp_path):
    path = str(tmp_path / "seg")
    vectors = random_vectors(100, 4)
    build_segment(path, vectors, n_clusters=2)
    plain = nimbrel.ZevireDarir(path, 4)
    assert len(plain.search(vectors[0].tolist(), 5, filter_json='{"bucket": 3}')) > 0
    skipping = nimbrel.ZevireDarir(path, 4, skip_fields=["bucket", "bucket"])
    with pytest.raises(ValueError):
        skipping.search(vectors[0].tolist(), 5, filter_json='{"bucket": 3}')


def test_a_damaged_segment_fails_construction_with_a_corrupt_index_error(tmp_path):
    path = tmp_path / "seg"
    build_segment(str(path), random_vectors(50, 4), n_clusters=2)
    (path / "manifest.bin").write_bytes(b"NOPE" + bytes(40))
    with pytest.raises(OSError) as e:
        nimbrel.ZevireDarir(str(path), 4)
    assert str(e.value).startswith("corrupt index: ")


# ---- directory recovery --------------------------------------------------------


def test_an_interrupted_swap_is_rolled_back_to_the_old_directory(tmp_path):
    path = tmp_path / "seg"
    vectors = random_vectors(80, 4, seed=3)
    build_segment(str(path), vectors, n_clusters=2)
    os.rename(path, tmp_path / "seg.old")
    path.mkdir()  # the swap got as far as an empty live directory
    h = nimbrel.ZevireDarir(str(path), 4)
    assert h.count() == 80
    assert not (tmp_path / "seg.old").exists()
    assert (path / "manifest.bin").exists()


def test_a_completed_swap_drops_the_old_directory(tmp_path):
    path = tmp_path / "seg"
    build_segment(str(path), random_vectors(80, 4, seed=3), n_clusters=2)
    build_segment(str(tmp_path / "seg.old"), random_vectors(30, 4, seed=4), n_clusters=2)
    h = nimbrel.ZevireDarir(str(path), 4)
    assert h.count() == 80
    assert not (tmp_path / "seg.old").exists()


def test_an_incomplete_old_directory_is_removed(tmp_path):
    (tmp_path / "seg.old").mkdir()
    (tmp_path / "seg.old" / "codes.bin").write_bytes(b"x")
    h = nimbrel.ZevireDarir(str(tmp_path / "seg"), 4)
    assert h.count() == 0
    assert not (tmp_path / "seg.old").exists()


def test_a_leftover_staging_directory_is_always_removed(tmp_path):
    path = tmp_path / "seg"
    build_segment(str(path), random_vectors(40, 4), n_clusters=2)
    staging = tmp_path / "seg.compacting"
    staging.mkdir()
    (staging / "manifest.bin").write_bytes(b"partial")
    nimbrel.ZevireDarir(str(path), 4)
    assert not staging.exists()


def test_temporary_files_of_unfinished_atomic_writes_are_removed(tmp_path):
    path = tmp_path / "seg"
    build_segment(str(path), random_vectors(40, 4), n_clusters=2)
    for name in ("manifest.writing.tmp", "generation.writing.tmp", ".writing.tmp", "notes.tmp"):
        (path / name).write_bytes(b"junk")
    h = nimbrel.ZevireDarir(str(path), 4)
    assert h.count() == 40
    left = sorted(p.name for p in path.iterdir() if "tmp" in p.name)
    assert left == ["notes.tmp"]


# ---- close ---------------------------------------------------------------------


def test_close_lets_go_and_the_next_query_reopens(tmp_path):
    path = str(tmp_path / "seg")
    vectors = random_vectors(100, 4)
    h = build_segment(path, vectors, n_clusters=2)
    assert h.close() is None
    assert h.close() is None
    assert h.count() == 0
    before = nimbrel.ivf_open_count()
    assert ids_of(h.search(vectors[7].tolist(), 1, nprobe=2)) == ["id7"]
    assert nimbrel.ivf_open_count() == before + 1
    assert h.count() == 100


# ---- other writers -------------------------------------------------------------


def test_another_handles_build_is_seen_after_the_generation_probe_expires(tmp_path):
    path = str(tmp_path / "seg")
    old_vectors = random_vectors(200, 8, seed=1)
    reader = build_segment(path, old_vectors, n_clusters=4)
    q = old_vectors[3].tolist()
    assert ids_of(reader.search(q, 1, nprobe=4)) == ["id3"]

    new_vectors = random_vectors(150, 8, seed=2)
    build_segment(path, new_vectors, ids=[f"new{i}" for i in range(150)], n_clusters=4)
    time.sleep(0.06)
    before = nimbrel.ivf_open_count()
    assert ids_of(reader.search(new_vectors[9].tolist(), 1, nprobe=4)) == ["new9"]
    assert reader.count() == 150
    assert nimbrel.ivf_open_count() == before + 1  # one reload, then served from the held segment
    reader.search(q, 1)
    assert nimbrel.ivf_open_count() == before + 1


def test_a_build_in_another_process_is_seen_by_this_handle(tmp_path):
    path = str(tmp_path / "seg")
    vectors = random_vectors(200, 8, seed=1)
    h = build_segment(path, vectors, n_clusters=4)
    assert h.count() == 200
    r = run_python("""
        import sys
        import numpy as np
        import nimbrel
        v = np.random.default_rng(9).standard_normal((120, 8)).astype(np.float32)
        h = nimbrel.ZevireDarir(sys.argv[1], 8)
        h.build(v.tobytes(), 120, [f"other{i}" for i in range(120)], ["{}"] * 120, 3)
        print(open(sys.argv[1] + "/generation", "rb").read().hex())
    """, path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == (1).to_bytes(8, "little").hex()
    time.sleep(0.06)
    hits = h.search(vectors[0].tolist(), 5, nprobe=3)
    assert len(hits) == 5 and all(i.startswith("other") for i in ids_of(hits))
    assert h.count() == 120


def test_an_empty_handle_opens_a_segment_built_later_by_another_process(tmp_path):
    path = str(tmp_path / "seg")
    h = nimbrel.ZevireDarir(path, 8)
    r = run_python("""
        import sys
        import numpy as np
        import nimbrel
        v = np.random.default_rng(9).standard_normal((50, 8)).astype(np.float32)
        nimbrel.ZevireDarir(sys.argv[1], 8).build(v.tobytes(), 50, [str(i) for i in range(50)],
                                                  ["null"] * 50, 2)
    """, path)
    assert r.returncode == 0, r.stderr
    assert h.count() == 0  # status readers never open
    assert len(h.search([0.0] * 8, 3, nprobe=2)) == 3
    assert h.count() == 50


def test_searches_keep_working_while_the_segment_is_rebuilt_underneath(tmp_path):
    path = str(tmp_path / "seg")
    vectors = random_vectors(400, 8, seed=5)
    build_segment(path, vectors, n_clusters=6)
    reader = nimbrel.ZevireDarir(path, 8)
    errors, stop = [], threading.Event()

    def search_loop():
        try:
            while not stop.is_set():
                hits = reader.search(vectors[11].tolist(), 4, nprobe=6)
                assert len(hits) == 4
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=search_loop) for _ in range(4)]
    for t in threads:
        t.start()
    try:
        for round_no in range(4):
            build_segment(path, vectors, ids=[f"r{round_no}_{i}" for i in range(400)], n_clusters=6)
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert errors == []
    time.sleep(0.06)
    assert reader.search(vectors[11].tolist(), 1, nprobe=6)[0][0] == "r3_11"
    assert not os.path.exists(path + ".old") and not os.path.exists(path + ".compacting")


def test_a_query_waits_for_a_writer_holding_the_directory_lock_and_opens_what_it_left(tmp_path):
    import fcntl
    path = str(tmp_path / "seg")
    vectors = random_vectors(60, 8, seed=4)
    build_segment(str(tmp_path / "staging"), vectors, n_clusters=2).close()
    h = nimbrel.ZevireDarir(path, 8)  # no segment yet
    outcome = []

    def query():
        try:
            outcome.append(h.search(vectors[5].tolist(), 1, nprobe=2))
        except BaseException as e:  # noqa: BLE001 - reported below
            outcome.append(e)

    # A writer in the middle of a swap: exclusive lock held, no live manifest yet.
    with open(path + ".lock", "r+b") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        t = threading.Thread(target=query)
        t.start()
        t.join(0.3)
        assert t.is_alive() and outcome == []
        os.rename(tmp_path / "staging", path)
        fcntl.flock(lock, fcntl.LOCK_UN)
    t.join()
    assert ids_of(outcome[0]) == ["id5"]
