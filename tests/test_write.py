"""add, delete, sync, flush, compact, rebuild and verify_integrity as Python sees them."""

import json
import os
import re
import struct
import zlib

import numpy as np
import pytest

import nimbrel
from conftest import build_segment, ids_of, random_vectors, run_python

LATCH = ("WAL fsync previously failed; call sync()/flush() to recover durability "
         "before confirming this op")


@pytest.fixture
def seg(seg_path):
    vectors = random_vectors(100, 8, seed=3)
    return vectors, build_segment(seg_path, vectors, n_clusters=4)


def wal_frames(path):
    """The number of operations in wal.bin (0 when it does not exist); the
    marks of device flushes between them (tag 2) do not count."""
    wal = os.path.join(path, "wal.bin")
    if not os.path.exists(wal):
        return 0
    data = open(wal, "rb").read()
    at, frames = 24, 0
    while at + 12 <= len(data):
        frames += int.from_bytes(data[at + 8:at + 12], "little") != 2
        at += 8 + int.from_bytes(data[at:at + 4], "little")
    return frames


def test_adds_upserts_and_deletes_show_in_counts_and_searches(seg, seg_path):
    vectors, h = seg
    for i in range(3):
        assert h.delete(f"id{i}") is True
    h.add("id10", vectors[10].tobytes(), '{"i": 10, "new": true}')  # upserts: bytes or floats
    h.add("id11", [float(x) for x in vectors[11]], None, [(3, 0.5)])
    assert h.stats() == (100, 2, 5)
    assert h.count() == 97
    h.add("fresh", vectors[50] + 100, '{"b": "x"}')
    assert h.count() == 98
    top = h.search(vectors[50] + 100, 1)
    assert ids_of(top) == ["fresh"]
    # The new field and value are filterable; deleted rows never come back.
    assert ids_of(h.search(vectors[50], 5, filter_json='{"b": "x"}')) == ["fresh"]
    assert ids_of(h.search(vectors[10], 1, filter_json='{"new": true}')) == ["id10"]
    everything = ids_of(h.search(vectors[0], 1000, nprobe=100, ensure_target_k=True))
    assert len(everything) == len(set(everything)) == 98
    assert not {"id0", "id1", "id2"} & set(everything)


def test_a_row_added_twice_has_one_live_copy_and_the_newest_metadata(seg):
    vectors, h = seg
    for version in range(3):
        h.add("same", vectors[7], json.dumps({"v": version}))
    assert h.count() == 101
    assert ids_of(h.search(vectors[7], 3, filter_json='{"v": 2}')) == ["same"]
    assert h.search(vectors[7], 3, filter_json='{"v": 1}') == []


def test_add_checks_its_arguments_before_anything_is_written(seg, seg_path):
    vectors, h = seg
    v = vectors[0].tobytes()
    cases = [
        (("x", [1.0, float("nan")] + [0.0] * 6), ValueError,
         "vector has a non-finite component at index 1 (NaN); a NaN/inf vector cannot be ranked"),
        (("x", v, None, [(5, 1.0), (7, float("-inf"))]), ValueError,
         "sparse weight -inf for term 7 is not finite; a NaN/inf sparse weight cannot be ranked"),
        (("x", v, "{nope"), ValueError, "metadata is not valid JSON"),
        # The JSON library would stop at the NUL and keep {"k": 1}.
        (("x", v, '{"k": 1}\x00 junk'), ValueError,
         "metadata is not valid JSON (parse error at byte 9: a NUL byte cannot appear in JSON text)"),
        (("x", v, "[" * 1001 + "]" * 1001), ValueError, "metadata is nested more than 1000 levels deep"),
        ((3, v), TypeError, "argument 'id': "),
        (("x", v, 3), TypeError, "argument 'metadata': "),
        (("x", "abc"), TypeError, "Can't extract `str` to `Vec`"),
        (("x", b"1234567"), ValueError, "vector bytes length 7 is not a multiple of 4 (little-endian f32)"),
        # The length is the segment's check, raised as a core error.
        (("x", [1.0, 2.0, 3.0]), OSError, "add: vector length 3 != index dim 8"),
    ]
    for args, exc, text in cases:
        with pytest.raises(exc) as e:
            h.add(*args)
        assert text in str(e.value), args
    assert h.stats() == (100, 0, 0)
    assert wal_frames(seg_path) == 0


def test_delete_logs_only_what_it_tombstones(seg, seg_path):
    vectors, h = seg
    assert h.delete("never-added") is False
    assert not os.path.exists(os.path.join(seg_path, "wal.bin"))
    assert h.delete("id4") is True
    assert h.delete("id4") is False
    assert wal_frames(seg_path) == 1
    h.add("added", vectors[1])
    assert h.delete("added") is True
    assert "added" not in ids_of(h.search(vectors[1], 5))
    with pytest.raises(TypeError, match="argument 'id': "):
        h.delete(b"id5")


def test_methods_on_a_directory_that_was_never_built(tmp_path):
    path = str(tmp_path / "empty")
    h = nimbrel.ZevireDarir(path, 8)
    with pytest.raises(OSError) as e:
        h.delete("x")
    assert str(e.value) == "RuntimeError: index not built/opened"
    with pytest.raises(RuntimeError, match="^index not built/opened$"):
        h.add("x", [0.0] * 8)
    with pytest.raises(RuntimeError, match="^index not built/opened$"):
        h.verify_integrity()
    assert h.flush() is None and h.compact() is None and h.rebuild() is None and h.sync() is None
    assert sorted(os.listdir(tmp_path)) == ["empty.lock"]


def test_group_commit_interval_and_period_decide_the_flushes(seg):
    vectors, h = seg
    h.add("a", vectors[0])
    assert h.wal_sync_count() == 1  # interval 1: every operation
    h.set_durability(0)  # same as 1
    h.delete("a")
    assert h.wal_sync_count() == 2
    h.set_durability(3)
    for i in range(7):
        h.add(f"g{i}", vectors[i])
    assert h.wal_sync_count() == 4
    # The setting belongs to the handle: it survives a reopen.
    h.close()
    for i in range(3):
        h.add(f"r{i}", vectors[i])
    assert h.wal_sync_count() == 1
    h.set_wal_sync_ms(60_000)
    for i in range(5):
        h.add(f"t{i}", vectors[i])
    assert h.wal_sync_count() == 1
    h.set_wal_sync_ms(0)
    h.set_durability(1)
    h.add("u", vectors[0])
    assert h.wal_sync_count() == 2
    with pytest.raises(OverflowError):
        h.set_durability(-1)
    with pytest.raises(OverflowError):
        h.set_durability(4294967296)


def test_other_handles_see_writes_after_a_checkpoint_or_a_new_open(seg, seg_path):
    vectors, h = seg
    other = nimbrel.ZevireDarir(seg_path, 8)
    h.add("mine", vectors[5] + 50)
    h.delete("id6")
    assert other.count() == 100
    assert ids_of(nimbrel.ZevireDarir(seg_path, 8).search(vectors[5] + 50, 1)) == ["mine"]
    opens = nimbrel.ivf_open_count()
    h.flush()  # in place: the handle keeps its segment
    assert nimbrel.ivf_open_count() == opens
    assert open(os.path.join(seg_path, "generation"), "rb").read() == (1).to_bytes(8, "little")
    assert ids_of(other.search(vectors[5] + 50, 1)) == ["mine"]
    assert other.count() == 100  # 100 - 1 + 1
    # A delete in the other handle reopens it at the new generation first.
    assert other.delete("mine") is True


def test_flush_of_a_stale_handle_checkpoints_everyone_s_operations(seg, seg_path):
    vectors, h = seg
    h.add("here", vectors[0] + 10)
    run_python("""
        import sys, nimbrel, numpy as np
        h = nimbrel.ZevireDarir(sys.argv[1], 8)
        h.add("there", np.full(8, 20, np.float32))
        h.delete("id9")
    """, seg_path)
    h.flush()  # through a fresh view: the other process's rows are kept
    assert h.stats() == (100, 2, 1)
    fresh = nimbrel.ZevireDarir(seg_path, 8)
    assert fresh.stats() == (100, 2, 1)
    assert ids_of(fresh.search(np.full(8, 20, np.float32), 1)) == ["there"]
    assert os.path.getsize(os.path.join(seg_path, "wal.bin")) == 24


def test_compact_and_rebuild_fold_the_log_and_clean_up(seg, seg_path):
    vectors, h = seg
    for i in range(10):
        h.delete(f"id{i}")
    h.add("x", vectors[20] + 30, '{"k": 1}', [(1, 2.0)])
    h.add("id20", vectors[20], '{"k": 2}')
    before = h.search(vectors[20], 5, nprobe=100)
    os.makedirs(seg_path + ".compacting")  # a leftover of a crashed run
    h.compact()
    assert h.stats() == (91, 0, 0) and h.count() == 91
    assert h.search(vectors[20], 5, nprobe=100) == before  # codes are copied as they are
    assert not os.path.exists(seg_path + ".compacting") and not os.path.exists(seg_path + ".old")
    assert open(os.path.join(seg_path, "generation"), "rb").read() == (1).to_bytes(8, "little")
    h.add("y", vectors[21] + 40)
    h.rebuild(0)  # one cluster
    assert h.stats() == (92, 0, 0) and h.fit_count() == 92
    assert ids_of(h.search(vectors[21] + 40, 1)) == ["y"]
    assert ids_of(h.search(vectors[20], 1, filter_json='{"k": 2}')) == ["id20"]
    assert h.verify_integrity() == (True, [])
    h.rebuild()
    assert h.count() == 92


def test_flush_restores_an_orphaned_old_directory_first(seg, seg_path):
    vectors, h = seg
    h.add("kept", vectors[1] + 5)
    h.close()
    os.rename(seg_path, seg_path + ".old")  # a swap interrupted between its renames
    h.flush()
    assert os.path.exists(os.path.join(seg_path, "manifest.bin"))
    assert ids_of(h.search(vectors[1] + 5, 1)) == ["kept"]


def test_verify_integrity_reports_every_damaged_file_in_name_order(seg, seg_path):
    _, h = seg
    assert h.verify_integrity() == (True, [])
    with open(os.path.join(seg_path, "codes.bin"), "r+b") as f:
        b = f.read(1)
        f.seek(0)
        f.write(bytes([b[0] ^ 1]))
    os.remove(os.path.join(seg_path, "ids.bin"))
    ok, messages = h.verify_integrity()
    assert ok is False
    assert len(messages) == 2
    assert re.fullmatch(r"codes\.bin: checksum mismatch \(got [0-9a-f]{8}, want [0-9a-f]{8}\)", messages[0])
    got, want = re.findall(r"[0-9a-f]{8}", messages[0])
    assert got != want
    assert messages[1] == "ids.bin: unreadable (No such file or directory (os error 2))"


def test_verify_integrity_of_a_segment_without_checksums(seg, seg_path):
    _, h = seg
    os.remove(os.path.join(seg_path, "crcs.bin"))
    h.close()
    assert h.verify_integrity() == (
        True, ["no per-file checksums recorded (legacy index; run vacuum/rebuild to enable)"])


def test_the_log_is_replayed_when_a_new_process_opens_the_segment(seg, seg_path):
    vectors, h = seg
    h.set_durability(1000)  # not flushed: the kernel still has it after the process ends
    for i in range(20):
        h.add(f"n{i}", vectors[i] + 7, json.dumps({"n": i}))
    h.delete("id0")
    out = run_python("""
        import sys, nimbrel
        h = nimbrel.ZevireDarir(sys.argv[1], 8)
        print(h.stats(), h.count())
    """, seg_path)
    assert out == "(100, 20, 1) 119"


def test_a_log_of_the_earlier_format_is_replayed_then_replaced_by_a_current_one(seg, seg_path):
    vectors, h = seg
    h.add("kept", vectors[0] + 3)
    h.flush()
    h.close()
    # What an earlier version left: a 16-byte header (version 1), and frames
    # whose checksum covers the record alone.
    def frame(rec):
        return struct.pack("<II", len(rec), zlib.crc32(rec)) + rec
    def text(s):
        return struct.pack("<Q", len(s)) + s.encode()
    add = struct.pack("<I", 0) + text("old") + struct.pack("<Q", 8) + (vectors[1] + 5).tobytes() + text('{"v":1}') \
        + struct.pack("<Q", 0)
    delete = struct.pack("<I", 1) + text("id2")
    path = os.path.join(seg_path, "wal.bin")
    with open(path, "wb") as f:
        f.write(b"NBWL" + struct.pack("<IQ", 1, 12345) + frame(add) + frame(delete))
    h = nimbrel.ZevireDarir(seg_path, 8)
    assert h.get_meta(["old", "kept", "id2"]) == ['{"v":1}', "null", "null"] and h.count() == 101
    # The handle folded it in and started a current log, which takes adds.
    header = open(path, "rb").read()
    assert (header[:8], len(header)) == (b"NBWL" + struct.pack("<I", 2), 24)
    h.add("new", vectors[2] + 5)
    h.close()
    h = nimbrel.ZevireDarir(seg_path, 8)
    assert h.has_ids(["old", "kept", "new", "id2"]) == [True, True, True, False]


def test_a_stale_handle_of_another_dimension_leaves_the_new_segments_log_alone(tmp_path):
    # Its last reference flushes the log under the name, which by then is
    # the rebuilt segment's: a flush must never cut or mark a log it cannot
    # read (the frames of another dimension would all look damaged).
    path = str(tmp_path / "seg")
    old, new = nimbrel.ZevireDarir(path, 8), nimbrel.ZevireDarir(path, 16)
    build_segment(path, random_vectors(50, 8)).close()
    old.add("o-extra", [1.0] * 8)
    new.build(random_vectors(50, 16).tobytes(), 50, [f"n{i}" for i in range(50)], ["{}"] * 50, 2)
    new.set_durability(10)  # acknowledged, flushed later
    for i in range(4):
        new.add(f"n-extra{i}", [float(i)] * 16)
    size = os.path.getsize(os.path.join(path, "wal.bin"))
    old.close()
    assert os.path.getsize(os.path.join(path, "wal.bin")) == size
    new.close()
    assert nimbrel.ZevireDarir(path, 16).has_ids([f"n-extra{i}" for i in range(4)]) == [True] * 4
