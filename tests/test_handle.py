"""Handle construction, directory recovery, close, and the status readers."""

import fcntl
import os
import shutil
import struct
import time
import zlib
from concurrent.futures import ThreadPoolExecutor

import pytest

import nimbrel
from conftest import build_segment, ids_of, random_vectors


def test_a_missing_directory_gives_an_empty_handle_with_a_lock_file_beside_it(tmp_path, monkeypatch):
    before = nimbrel.ivf_open_count()
    h = nimbrel.ZevireDarir(str(tmp_path / "a") + "/", 8)
    assert (h.count(), h.stats(), h.fit_count(), h.wal_sync_count()) == (0, (0, 0, 0), 0, 0)
    assert h.quant_scale() == 0.0 and type(h.quant_scale()) is float
    assert h.set_durability(interval=4294967295) is None and h.set_wal_sync_ms(ms=0) is None
    # The lock file sits beside the directory however the path is spelled.
    nimbrel.ZevireDarir(str(tmp_path / "b") + "/.", 4)
    monkeypatch.chdir(tmp_path)
    nimbrel.ZevireDarir("c", 4)
    nimbrel.ZevireDarir("./d//", 4)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.lock", "b.lock", "c.lock", "d.lock"]
    with pytest.raises(OSError):
        nimbrel.ZevireDarir(str(tmp_path / "no" / "such" / "seg"), 8)
    assert nimbrel.ivf_open_count() == before  # nothing to open


def test_dim_mismatch_names_both_dims_and_the_quoted_path(tmp_path):
    path = str(tmp_path / 'se"g\\7')
    build_segment(path, random_vectors(60, 16))
    quoted = '"' + path.replace("\\", "\\\\").replace('"', '\\"') + '"'
    with pytest.raises(ValueError) as e:
        nimbrel.ZevireDarir(path, 8)
    assert str(e.value) == f"dim mismatch: opened with dim=8 but the index at {quoted} was built with dim=16"


def test_construction_opens_the_segment_once_with_its_skip_fields(seg_path):
    vectors = random_vectors(100, 4)
    build_segment(seg_path, vectors)
    before = nimbrel.ivf_open_count()
    plain = nimbrel.ZevireDarir(seg_path, 4)
    skipping = nimbrel.ZevireDarir(seg_path, 4, skip_fields=["bucket", "bucket"])
    assert nimbrel.ivf_open_count() == before + 2
    for _ in range(3):
        assert len(plain.search(vectors[0].tolist(), 5, filter_json='{"bucket": 3}')) > 0
        with pytest.raises(ValueError):
            skipping.search(vectors[0].tolist(), 5, filter_json='{"bucket": 3}')
    assert nimbrel.ivf_open_count() == before + 2  # queries do not reopen


def test_a_damaged_segment_fails_construction_with_a_corrupt_index_error_and_counts_as_an_open(seg_path):
    build_segment(seg_path, random_vectors(50, 4))
    with open(os.path.join(seg_path, "manifest.bin"), "wb") as f:
        f.write(b"NOPE" + bytes(40))
    before = nimbrel.ivf_open_count()
    with pytest.raises(OSError, match="^corrupt index: "):
        nimbrel.ZevireDarir(seg_path, 4)
    assert nimbrel.ivf_open_count() == before + 1


def _damage(path, how):
    if how == "remove":
        os.remove(path)
        return
    with open(path, "r+b") as f:
        data = f.read()
        if how == "truncate":
            f.truncate(len(data) // 2)
        elif data:
            f.seek(len(data) // 2)
            f.write(bytes([data[len(data) // 2] ^ 0x10]))


def test_every_file_of_a_segment_damaged_in_turn_is_refused_or_repaired_never_a_crash(tmp_path):
    vectors = random_vectors(300, 8, seed=3)
    good = tmp_path / "good"
    build_segment(good, vectors, n_clusters=4,
                  sparse=[[(i % 7, 1.0)] for i in range(300)])
    for name in sorted(os.listdir(good)):
        for how in ("truncate", "flip", "remove"):
            seg = tmp_path / f"{name}-{how}"
            shutil.copytree(good, seg)
            _damage(seg / name, how)
            try:
                h = nimbrel.ZevireDarir(str(seg), 8)
            except OSError as e:
                assert str(e).startswith("corrupt index: "), (name, how, str(e))
                continue
            if (name, how) == ("manifest.bin", "remove"):
                # Without its manifest a directory holds no segment at all.
                with pytest.raises(RuntimeError, match="^index not built/opened$"):
                    h.search(vectors[5].tobytes(), 5)
                continue
            # Opened: repaired (idhash.bin), tolerated (generation reads as 0),
            # or damage in bytes no check covers. Either way queries stay in
            # bounds.
            hits = h.search(vectors[5].tobytes(), 5, nprobe=4, ensure_target_k=True)
            assert len(hits) == 5, (name, how)


def test_a_lost_format_file_is_refused_rather_than_read_with_the_old_rotation(seg_path):
    build_segment(seg_path, random_vectors(40, 4))
    os.remove(os.path.join(seg_path, "format.bin"))
    with pytest.raises(OSError) as e:
        nimbrel.ZevireDarir(seg_path, 4)
    assert str(e.value) == "corrupt index: format.bin: missing (manifest.bin records row format 4)"


def rewrite_header_file(path, edit):
    with open(path, "rb") as f:
        raw = f.read()
    body = edit(raw[8:])
    with open(path, "wb") as f:
        f.write(raw[:4] + struct.pack("<I", zlib.crc32(body)) + body)


def test_format_version_reports_the_number_on_disk_and_this_build_writes_three(seg_path):
    vectors = random_vectors(300, 4)
    h = build_segment(seg_path, vectors, n_clusters=3)
    assert h.format_version() == (3, 3)
    want = [ids_of(h.search(vectors[i].tobytes(), 5, nprobe=3)) for i in range(0, 300, 30)]
    h.close()
    # Blocked codes as the builds that numbered them 4 wrote them: still
    # read as blocks, and compacted to format 3.
    rewrite_header_file(os.path.join(seg_path, "format.bin"), lambda body: struct.pack("<I", 4))
    h = nimbrel.ZevireDarir(seg_path, 4)
    assert h.format_version() == (4, 3)
    assert [ids_of(h.search(vectors[i].tobytes(), 5, nprobe=3)) for i in range(0, 300, 30)] == want
    h.compact()
    assert h.format_version() == (3, 3)
    assert [ids_of(h.search(vectors[i].tobytes(), 5, nprobe=3)) for i in range(0, 300, 30)] == want
    # A segment from before format.bin: its manifest records no row format.
    h.close()
    rewrite_header_file(os.path.join(seg_path, "manifest.bin"), lambda body: body[:-4])
    os.remove(os.path.join(seg_path, "format.bin"))
    assert nimbrel.ZevireDarir(seg_path, 4).format_version() == (1, 3)


# ---- the path ----------------------------------------------------------------------


ROOT_REFUSED = ("path: the root directory cannot hold a segment (its lock file and swap directories "
                "need a parent directory)")


@pytest.mark.parametrize("path, exc, message", [
    # The system reads a path up to a NUL: these would act on notes.txt and
    # its neighbours (recovery removed "notes.txt" as a leftover).
    ("notes.txt\x00", ValueError, "path: embedded null byte"),
    ("notes.txt\x00.old", ValueError, "path: embedded null byte"),
    ("seg\x00/../notes.txt", ValueError, "path: embedded null byte"),
    # Not a directory: its neighbours must not be taken for swap leftovers.
    ("notes.txt", OSError, "Not a directory (os error 20)"),
    ("/", ValueError, ROOT_REFUSED),
    ("/..", ValueError, ROOT_REFUSED),
    ("", OSError, "No such file or directory (os error 2)"),
])
def test_a_path_that_cannot_name_a_segment_directory_is_refused_before_anything_is_touched(
        tmp_path, monkeypatch, path, exc, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "notes.txt").write_text("keep me")
    (tmp_path / "notes.txt.old").write_text("and me")
    with pytest.raises(exc) as e:
        nimbrel.ZevireDarir(path, 8)
    assert type(e.value) is exc and str(e.value) == message
    assert sorted(os.listdir(tmp_path)) == ["notes.txt", "notes.txt.old"]
    assert (tmp_path / "notes.txt").read_text() == "keep me"


def test_every_spelling_of_a_directory_shares_one_lock_and_one_set_of_siblings(tmp_path, monkeypatch):
    data = tmp_path / "data"
    real = data / "seg-7"
    data.mkdir()
    vectors = random_vectors(60, 4, seed=1)
    build_segment(real, vectors).close()
    link = tmp_path / "current"
    os.symlink(real, link)
    monkeypatch.chdir(real)
    handles = [nimbrel.ZevireDarir(p, 4) for p in (str(link), str(link) + "/", ".", "../seg-7//.")]
    assert sorted(os.listdir(data)) == ["seg-7", "seg-7.lock"]
    assert sorted(os.listdir(tmp_path)) == ["current", "data"]

    # A writer holding the real directory's lock excludes a handle opened
    # through the symlink: both lock the same file.
    with ThreadPoolExecutor(1) as pool, open(str(real) + ".lock", "r+b") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        pending = pool.submit(nimbrel.ZevireDarir, str(link), 4)
        time.sleep(0.3)
        assert not pending.done()
        fcntl.flock(lock, fcntl.LOCK_UN)
        assert pending.result().count() == 60

    # A build through the symlink swaps the real directory and leaves the
    # link in place; every handle, "." included, sees the new rows.
    fresh = random_vectors(50, 4, seed=2)
    handles[0].build(fresh.tobytes(), 50, [f"new{i}" for i in range(50)], ["{}"] * 50, 2)
    assert os.readlink(link) == str(real)
    assert sorted(os.listdir(data)) == ["seg-7", "seg-7.lock"]
    time.sleep(0.06)  # past the 50 ms generation probe
    for h in handles:
        assert ids_of(h.search(fresh[9].tobytes(), 1, nprobe=2)) == ["new9"]


# ---- directory recovery --------------------------------------------------------


def test_an_interrupted_swap_is_rolled_back_to_the_old_directory(tmp_path):
    path = tmp_path / "seg"
    build_segment(path, random_vectors(80, 4, seed=3))
    os.rename(path, tmp_path / "seg.old")
    path.mkdir()  # the swap got as far as an empty live directory
    assert nimbrel.ZevireDarir(str(path), 4).count() == 80
    assert not (tmp_path / "seg.old").exists()
    assert (path / "manifest.bin").exists()


def test_a_completed_swap_drops_the_old_directory(tmp_path):
    path = tmp_path / "seg"
    build_segment(path, random_vectors(80, 4, seed=3))
    build_segment(tmp_path / "seg.old", random_vectors(30, 4, seed=4))
    assert nimbrel.ZevireDarir(str(path), 4).count() == 80
    assert not (tmp_path / "seg.old").exists()


def test_an_incomplete_old_directory_is_removed(tmp_path):
    (tmp_path / "seg.old").mkdir()
    (tmp_path / "seg.old" / "codes.bin").write_bytes(b"x")
    assert nimbrel.ZevireDarir(str(tmp_path / "seg"), 4).count() == 0
    assert not (tmp_path / "seg.old").exists()


def test_a_leftover_staging_directory_and_unfinished_atomic_writes_are_removed(tmp_path):
    path = tmp_path / "seg"
    build_segment(path, random_vectors(40, 4))
    (tmp_path / "seg.compacting").mkdir()
    (tmp_path / "seg.compacting" / "manifest.bin").write_bytes(b"partial")
    for name in ("manifest.writing.tmp", "generation.writing.tmp", ".writing.tmp", "notes.tmp"):
        (path / name).write_bytes(b"junk")
    assert nimbrel.ZevireDarir(str(path), 4).count() == 40
    assert not (tmp_path / "seg.compacting").exists()
    assert sorted(p.name for p in path.iterdir() if "tmp" in p.name) == ["notes.tmp"]


# ---- close and the status readers ------------------------------------------------


def test_close_lets_go_status_readers_do_not_reopen_and_the_next_query_does(seg_path):
    vectors = random_vectors(100, 4)
    h = build_segment(seg_path, vectors)
    h.set_durability(16)
    h.set_wal_sync_ms(10)
    assert h.close() is None and h.close() is None
    before = nimbrel.ivf_open_count()
    assert (h.count(), h.stats(), h.fit_count(), h.quant_scale()) == (0, (0, 0, 0), 0, 0.0)
    assert nimbrel.ivf_open_count() == before
    assert h.format_version() == (3, 3)
    assert nimbrel.ivf_open_count() == before + 1
    assert h.count() == 100
    h.close()
    assert ids_of(h.search(vectors[7].tolist(), 1, nprobe=2)) == ["id7"]
    assert nimbrel.ivf_open_count() == before + 2
    assert h.wal_sync_count() == 0  # reopened with the handle's settings, nothing logged yet
