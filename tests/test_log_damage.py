"""Damaged write-path files: a log cut short or with a damaged frame or
garbage, and damaged delta.bin and deleted.bin. Opening either repairs what
it can (with a "Nimbrel: " notice) or refuses with "corrupt index: ...",
and never crashes or hangs. Opens run in child processes, many cases each
(a few single cases open in this process)."""

import json
import os
import random
import shutil
import struct
import subprocess
import sys
import textwrap
import zlib

import pytest

import nimbrel
from conftest import build_segment, ids_of, random_vectors

DIM = 8
# The operations in wal.bin after the checkpoint, in log order.
LOG_OPS = [("add", "w0"), ("add", "w1"), ("delete", "id6"), ("add", "w2"), ("add", "w3"), ("delete", "id7"),
           ("add", "w4"), ("delete", "id8")]
MIDDLE = 3  # the add of w2


def live_after(ops):
    live = ({f"id{i}" for i in range(120)} - {"id3"}) | {"a0", "a2", "a3", "a4"}
    for kind, i in ops:
        (live.add if kind == "add" else live.discard)(i)
    return live


@pytest.fixture(scope="module")
def seg(tmp_path_factory):
    """A segment whose delta.bin and deleted.bin hold rows and tombstones,
    and whose wal.bin holds LOG_OPS; returns its path and files' bytes."""
    path = tmp_path_factory.mktemp("damage") / "seg"
    h = build_segment(path, random_vectors(120, DIM, seed=1), n_clusters=4)
    extra = random_vectors(12, DIM, seed=2)
    for i in range(5):
        h.add(f"a{i}", extra[i].tolist(), json.dumps({"i": 1000 + i}))
    h.delete("id3")
    h.delete("a1")
    h.flush()
    for n, (kind, i) in enumerate(LOG_OPS):
        h.add(i, extra[5 + n % 7].tolist(), json.dumps({"w": n})) if kind == "add" else h.delete(i)
    h.close()
    files = {name: (path / name).read_bytes() for name in ("wal.bin", "delta.bin", "deleted.bin")}
    return str(path), files


def frames(wal):
    """(offset, end) of each operation's frame of a log (the marks of device
    flushes between them left out)."""
    out, p = [], 24
    while p < len(wal):
        end = p + 8 + struct.unpack_from("<I", wal, p)[0]
        if struct.unpack_from("<I", wal, p + 8)[0] != 2:
            out.append((p, end))
        p = end
    return out


def tail_notice(torn, at):
    return notice(f"ignored {torn} bytes at offset {at}, from the first frame after the last device flush that "
                  "does not check out (a write never completed): the operations there and after it were never "
                  "made durable")


def with_crc(magic, body):
    return magic + struct.pack("<I", zlib.crc32(body)) + body


# For each case: put the case's files in place (every other file as it was),
# open in a new handle with standard error caught, report what it holds;
# optionally add one more row and reopen, or checkpoint.
OPENER = r"""
import contextlib, json, os, sys
import nimbrel
seg, cases = sys.argv[1], json.load(open(sys.argv[2]))
original = {n: open(os.path.join(seg, n), "rb").read() for n in os.listdir(seg)}

def restore():
    for n in os.listdir(seg):
        if n not in original:
            os.remove(os.path.join(seg, n))
    for n, data in original.items():
        p = os.path.join(seg, n)
        if not os.path.exists(p) or open(p, "rb").read() != data:
            open(p, "wb").write(data)

def observe(h):
    n = h.count()
    live = [i for i, _ in h.search([0.0] * 8, n + 10, nprobe=64, rerank=10000, ensure_target_k=True)] if n else []
    return {"count": n, "live": sorted(live)}

@contextlib.contextmanager
def stderr_lines(into):
    path = os.path.join(os.path.dirname(seg), "stderr.txt")
    saved, fd = os.dup(2), os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    os.dup2(fd, 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(fd)
        os.close(saved)
        into.extend(open(path).read().splitlines())

results = {}
for case in cases:
    print(case["name"], file=sys.stderr, flush=True)  # names the case a crash stops at
    restore()
    for n, data in case["files"].items():
        open(os.path.join(seg, n), "wb").write(bytes.fromhex(data))
    notices = []
    try:
        with stderr_lines(notices):
            h = nimbrel.ZevireDarir(seg, 8)
            out = observe(h)
    except OSError as e:
        results[case["name"]] = {"error": str(e), "notices": notices}
        continue
    out["notices"] = notices
    if case.get("add"):
        h.add("late", [0.5] * 8)
        h.close()
        notices = []
        with stderr_lines(notices):
            out["reopened"] = observe(nimbrel.ZevireDarir(seg, 8))
        out["reopened"]["notices"] = notices
    if case.get("flush"):
        h.flush()
        out["flushed"] = observe(h)
        p = os.path.join(seg, "wal.corrupt.bin")
        out["corrupt"] = open(p, "rb").read().hex() if os.path.exists(p) else None
        h.close()
        out["reopened"] = observe(nimbrel.ZevireDarir(seg, 8))
    h.close()
    results[case["name"]] = out
restore()
print(json.dumps(results))
"""


def open_cases(seg_path, cases, tmp_path):
    """Runs the cases in one child; a crash or hang fails with the case it stopped at."""
    listing = tmp_path / "cases.json"
    listing.write_text(json.dumps(cases))
    try:
        r = subprocess.run([sys.executable, "-c", textwrap.dedent(OPENER), seg_path, str(listing)],
                           capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"hung at case {(e.stderr or b'').decode().splitlines()[-1:]}")
    last = r.stderr.strip().splitlines()[-1:] if r.stderr else []
    assert r.returncode >= 0, f"killed by signal {-r.returncode} at case {last}"
    assert r.returncode == 0, r.stderr[-3000:]
    return json.loads(r.stdout)


def notice(text):
    return [f"Nimbrel: {{seg}}/wal.bin: {text}"]


def check(name, got, want_live, want_notices, seg_path):
    problems = []
    if "error" in got:
        return [f"{name}: refused: {got['error']}"]
    if set(got["live"]) != want_live or got["count"] != len(want_live):
        problems.append(f"{name}: missing {sorted(want_live - set(got['live']))}, "
                        f"extra {sorted(set(got['live']) - want_live)}, count {got['count']}")
    want_notices = [n.format(seg=seg_path) for n in want_notices]
    if got["notices"] != want_notices:
        problems.append(f"{name}: notices {got['notices']}, expected {want_notices}")
    return problems


@pytest.mark.parametrize("frame", [-1, -2], ids=["last-frame-delete", "last-frame-add"])
def test_a_log_cut_inside_its_last_frame_loses_that_operation_only(seg, frame, tmp_path):
    seg_path, files = seg
    wal = files["wal.bin"]
    k = len(LOG_OPS) + frame
    begin, end = frames(wal)[k]
    cases = [{"name": f"cut{cut}", "files": {"wal.bin": wal[:cut].hex()}, "add": True} for cut in range(begin, end)]
    results = open_cases(seg_path, cases, tmp_path)
    problems = []
    for cut in range(begin, end):
        torn = cut - begin
        problems += check(f"cut{cut}", results[f"cut{cut}"], live_after(LOG_OPS[:k]),
                          tail_notice(torn, begin) if torn else [], seg_path)
        # The next append first cuts the torn bytes off, so the new row
        # follows the last whole frame and nothing is left to skip.
        problems += check(f"cut{cut} reopened", results[f"cut{cut}"]["reopened"], live_after(LOG_OPS[:k]) | {"late"},
                          [], seg_path)
    assert not problems, "\n".join(problems)


def test_a_damaged_frame_in_the_middle_is_skipped_and_kept_by_the_next_checkpoint(seg, tmp_path):
    seg_path, files = seg
    wal = files["wal.bin"]
    begin, end = frames(wal)[MIDDLE]
    cases = []
    for at in range(begin, end):
        damaged = bytearray(wal)
        damaged[at] ^= 0xFF
        cases.append({"name": f"flip{at}", "files": {"wal.bin": damaged.hex()}, "flush": True})
    results = open_cases(seg_path, cases, tmp_path)
    want = live_after(LOG_OPS[:MIDDLE] + LOG_OPS[MIDDLE + 1:])
    skipped = notice(f"skipped {end - begin} damaged bytes at offset {begin} and replayed the frames after them "
                     "(the next checkpoint keeps the bytes in wal.corrupt.bin)")
    problems = []
    log_id = wal[8:16]
    for case in cases:
        name = case["name"]
        problems += check(name, results[name], want, skipped, seg_path)
        got = results[name]
        if "error" in got:
            continue
        # One entry: log id, offset, length, then the damaged bytes themselves.
        entry = log_id + struct.pack("<QQ", begin, end - begin) + bytes.fromhex(case["files"]["wal.bin"])[begin:end]
        if got["corrupt"] != entry.hex():
            problems.append(f"{name}: wal.corrupt.bin holds {got['corrupt']}, expected {entry.hex()}")
        for stage in ("flushed", "reopened"):
            if set(got[stage]["live"]) != want:
                problems.append(f"{name}: {stage}: {sorted(set(got[stage]['live']) ^ want)} differ")
    assert not problems, "\n".join(problems)


@pytest.mark.parametrize("method", ["flush", "compact", "rebuild"])
def test_the_skipped_range_is_appended_to_wal_corrupt_bin_unread_and_kept_by_compact_and_rebuild(seg, method,
                                                                                                  tmp_path):
    seg_path, files = seg
    work = tmp_path / "seg"
    shutil.copytree(seg_path, work)
    wal = bytearray(files["wal.bin"])
    begin, end = frames(wal)[MIDDLE]
    wal[begin + 9] ^= 0xFF
    (work / "wal.bin").write_bytes(wal)
    entry = bytes(wal[8:16]) + struct.pack("<QQ", begin, end - begin) + bytes(wal[begin:end])
    # An earlier checkpoint's entry, a 100 GiB hole (reading the file whole
    # would take that much memory), then the first bytes of this
    # checkpoint's entry, as a crash halfway through its append leaves them.
    earlier = b"\7" * 8 + struct.pack("<QQ", 24, 3) + b"old"
    kept = work / "wal.corrupt.bin"
    kept.write_bytes(earlier)
    os.truncate(kept, 100 << 30)
    with open(kept, "ab") as f:
        f.write(entry[:30])
    h = nimbrel.ZevireDarir(str(work), DIM)
    getattr(h, method)()
    for _ in range(2):  # the next checkpoint has nothing more to keep
        assert os.path.getsize(kept) == (100 << 30) + len(entry)
        with open(kept, "rb") as f:
            assert f.read(len(earlier)) == earlier
            f.seek(100 << 30)
            assert f.read() == entry
        assert os.stat(kept).st_blocks * 512 < 1 << 20  # the hole was neither read nor filled
        assert set(h.ids_matching()) == live_after(LOG_OPS[:MIDDLE] + LOG_OPS[MIDDLE + 1:])
        h.flush()


def delete_frame(target, log_id=None, offset=0):
    """A delete's frame: sealed for its log and place, or (no log id) in the
    earlier format, whose checksum covers the record alone."""
    rec = struct.pack("<IQ", 1, len(target)) + target.encode()
    place = b"" if log_id is None else log_id + struct.pack("<QI", offset, len(rec))
    return struct.pack("<II", len(rec), zlib.crc32(place + rec)) + rec


@pytest.mark.parametrize("fmt", ["current", "earlier"])
def test_a_vector_carrying_a_frame_never_replays_it_when_its_add_is_torn(seg, fmt, tmp_path):
    # The strongest forger: it knows the log's id and where its add lands,
    # and its vector holds a delete frame sealed for that very place.
    seg_path, files = seg
    work = tmp_path / "work"
    shutil.copytree(seg_path, work)
    h = nimbrel.ZevireDarir(str(work), DIM)
    h.set_durability(1000)  # acknowledged, never flushed
    wal = (work / "wal.bin").read_bytes()
    add_at = len(wal)
    inner_at = add_at + 8 + 4 + 8 + len("victim") + 8
    for target in (f"id{i}" for i in range(10, 100)):
        inner = delete_frame(target, wal[8:16] if fmt == "current" else None, inner_at)
        vector = inner + bytes(DIM * 4 - len(inner))
        if all(x == x and abs(x) != float("inf") for x in struct.unpack(f"<{DIM}f", vector)):
            break
    h.add("victim", vector)
    wal = (work / "wal.bin").read_bytes()
    cases = [{"name": f"cut{cut}", "files": {"wal.bin": wal[:cut].hex()}} for cut in range(add_at + 1, len(wal))]
    results = open_cases(seg_path, cases, tmp_path)
    problems = []
    for cut in range(add_at + 1, len(wal)):
        problems += check(f"cut{cut}", results[f"cut{cut}"], live_after(LOG_OPS), tail_notice(cut - add_at, add_at),
                          seg_path)
    assert target in live_after(LOG_OPS)
    assert not problems, "\n".join(problems)


def test_garbage_after_the_last_frame_is_ignored_as_a_torn_append(seg, tmp_path):
    seg_path, files = seg
    wal = files["wal.bin"]
    begin, end = frames(wal)[-1]
    garbage = {
        "zeros": bytes(64),
        "ones": b"\xff" * 64,
        "random": random.Random(5).randbytes(300),
        "huge-length": struct.pack("<II", 2**31, 0) + bytes(20),
        "bad-crc": wal[begin:begin + 4] + b"\0\0\0\0" + wal[begin + 8:end],
        "half-frame": wal[begin:(begin + end) // 2],
        "log-header": wal[:24],
        # A whole frame, but not at its place: the same bytes again.
        "repeated-frame": wal[begin:end],
    }
    cases = [{"name": k, "files": {"wal.bin": (wal + g).hex()}} for k, g in garbage.items()]
    results = open_cases(seg_path, cases, tmp_path)
    problems = []
    for k, g in garbage.items():
        problems += check(k, results[k], live_after(LOG_OPS), tail_notice(len(g), len(wal)), seg_path)
    assert not problems, "\n".join(problems)


# ---- delta.bin and deleted.bin ---------------------------------------------------


def roaring(containers, cookie=12346, offsets=None):
    """The portable serialisation of [(key, values)] without runs; arrays up
    to 4096 values, else 8192-byte bitmaps."""
    head = struct.pack("<II", cookie, len(containers))
    bodies = []
    for key, values in containers:
        head += struct.pack("<HH", key, len(values) - 1)
        if len(values) <= 4096:
            bodies.append(b"".join(struct.pack("<H", v) for v in values))
        else:
            bits = bytearray(8192)
            for v in values:
                bits[v // 8] |= 1 << (v % 8)
            bodies.append(bytes(bits))
    at = len(head) + 4 * len(containers)
    for i, b in enumerate(bodies):
        head += struct.pack("<I", at if offsets is None else offsets[i])
        at += len(b)
    return head + b"".join(bodies)


def hostile_tombstones(original_body):
    rows = [struct.unpack_from("<H", original_body, 16 + 2 * i)[0] for i in range(len(original_body[16:]) // 2)]
    bitmap = roaring([(0, range(5000))])
    popcount_off = bytearray(bitmap)
    popcount_off[-1] ^= 0x80
    return {
        # name: (body, opens?)
        "same-rows": (roaring([(0, rows)]), True),
        "no-rows": (roaring([]), True),
        "empty": (b"", False),
        "run-cookie": (struct.pack("<II", 12347, 1) + original_body[8:], False),
        "run-cookie-high": (struct.pack("<I", 12347 | (3 << 16)) + original_body[4:], False),
        "unknown-cookie": (struct.pack("<I", 12345) + original_body[4:], False),
        "too-many-containers": (struct.pack("<II", 12346, 65537) + bytes(16), False),
        "containers-do-not-fit": (struct.pack("<II", 12346, 1000) + original_body[8:], False),
        "keys-descending": (roaring([(1, [1]), (0, [2])]), False),
        "keys-repeated": (roaring([(0, [1]), (0, [2])]), False),
        "offset-elsewhere": (roaring([(0, [1, 2])], offsets=[100]), False),
        "array-descending": (roaring([(0, [5, 3])]), False),
        "array-repeated": (roaring([(0, [3, 3])]), False),
        "array-cut-short": (roaring([(0, [1, 2, 3])])[:-2], False),
        "trailing-bytes": (roaring([(0, rows)]) + b"\0\0", False),
        "bitmap-popcount-off": (bytes(popcount_off), False),
        "bitmap-cut-short": (bitmap[:-100], False),
        # Tombstones of rows the segment does not have (their adds were lost
        # from the log) are dropped with a notice, not refused.
        "row-past-the-end": (roaring([(0, rows), (15, [3])]), True),
        "every-row-of-a-container": (roaring([(0, range(65536))]), True),
    }


def test_hostile_tombstone_bitmaps_are_refused_before_the_bitmap_library_reads_them(seg, tmp_path):
    seg_path, files = seg
    body = files["deleted.bin"][8:]
    hostile = hostile_tombstones(body)
    cases = [{"name": k, "files": {"deleted.bin": with_crc(b"NBTS", b).hex()}} for k, (b, _) in hostile.items()]
    results = open_cases(seg_path, cases, tmp_path)
    problems = []
    for k, (_, opens) in hostile.items():
        got = results[k]
        if opens != ("error" not in got):
            problems.append(f"{k}: {got.get('error', 'opened')}")
        elif not opens and not got["error"].startswith("corrupt index: deleted.bin: "):
            problems.append(f"{k}: {got['error']}")
    assert results["same-rows"]["live"] == sorted(live_after(LOG_OPS))
    assert results["row-past-the-end"]["live"] == results["same-rows"]["live"]
    assert any("deleted.bin: dropped 1 tombstones" in n for n in results["row-past-the-end"]["notices"])
    assert set(results["no-rows"]["live"]) == live_after(LOG_OPS) | {"id3", "a1"}
    assert not problems, "\n".join(problems)


def lose_a_deleted_add_with_the_log_tail(path):
    """The state a power cut leaves when a checkpoint of a latched log (which
    writes from memory without flushing the log) got as far as deleted.bin:
    the earlier delta.bin, and the log without its unflushed tail, the add
    and delete of "x". deleted.bin names x's row, the first past the
    segment's 40 main rows and 1 delta row."""
    h = build_segment(path, random_vectors(40, DIM, seed=1), n_clusters=2)
    h.add("a0", [0.1] * DIM)
    h.delete("id5")
    h.flush()
    h.add("x", [0.2] * DIM)
    h.delete("x")
    wal, delta = (path / "wal.bin").read_bytes(), (path / "delta.bin").read_bytes()
    h.flush()
    h.close()
    (path / "delta.bin").write_bytes(delta)
    (path / "wal.bin").write_bytes(wal[:frames(wal)[0][0]])


def assert_late_is_live(h):
    assert h.count() == 41  # 40 main rows - id5 + a0 + late
    assert ids_of(h.search([0.3] * DIM, 1)) == ["late"]
    assert h.get_meta(["late", "x", "id5"]) == ['{"late":1}', "null", "null"]


def test_the_row_added_where_a_lost_add_left_a_tombstone_is_live(tmp_path, capfd):
    path = tmp_path / "seg"
    lose_a_deleted_add_with_the_log_tail(path)
    h = nimbrel.ZevireDarir(str(path), DIM)
    assert "deleted.bin: dropped 1 tombstones of rows past the segment's 41 rows" in capfd.readouterr().err
    h.add("late", [0.3] * DIM, '{"late": 1}')
    assert_late_is_live(h)


def test_the_row_added_where_a_lost_add_left_a_tombstone_is_live_after_a_reopen(tmp_path):
    # The open rewrote deleted.bin without the dropped tombstone: otherwise
    # the reopen's replay would put the new row back under it.
    path = tmp_path / "seg"
    lose_a_deleted_add_with_the_log_tail(path)
    h = nimbrel.ZevireDarir(str(path), DIM)
    h.add("late", [0.3] * DIM, '{"late": 1}')
    h.close()
    assert_late_is_live(nimbrel.ZevireDarir(str(path), DIM))


# Offsets and formats of fields of delta.bin's body.
DELTA_FIELDS = {"version": (0, "<I"), "main_rows": (4, "<Q"), "dim": (12, "<Q"), "code_bytes": (20, "<Q"),
                "log_id": (28, "<Q"), "rows": (44, "<Q"), "first_id_length": (52, "<Q")}


@pytest.mark.parametrize("name,magic", [("delta.bin", b"NBDL"), ("deleted.bin", b"NBTS")])
def test_damaged_delta_and_tombstone_files_open_or_are_refused_never_crash(seg, name, magic, tmp_path):
    seg_path, files = seg
    data = files[name]
    body = data[8:]
    rng = random.Random(11)
    cases = {}
    # Cut anywhere, as is or with the header's checksum made to match again.
    for n in range(len(data)):
        cases[f"cut{n}"] = (data[:n], True)
    for n in range(len(body)):
        cases[f"cut-body{n}"] = (with_crc(magic, body[:n]), True)
    # Flipped bytes: caught by the checksum, or with it recomputed, by the decoder or not at all.
    for at in range(8):
        flipped = bytearray(data)
        flipped[at] ^= 0x01
        cases[f"flip-header{at}"] = (bytes(flipped), True)
    for trial in range(150):
        flipped = bytearray(body)
        for _ in range(rng.choice([1, 1, 2, 4])):
            flipped[rng.randrange(len(body))] ^= rng.randrange(1, 256)
        cases[f"flip{trial}"] = (with_crc(magic, bytes(flipped)), False)
    if name == "delta.bin":
        for field, (at, fmt) in DELTA_FIELDS.items():
            for value in (0, 1, 2**31, 2**63, 2**64 - 1):
                patched = bytearray(body)
                struct.pack_into(fmt, patched, at, value % (2**32 if fmt == "<I" else 2**64))
                cases[f"{field}={value}"] = (with_crc(magic, bytes(patched)), False)
        # Naming the log on disk, whose frames from the offset on are replayed.
        wal = files["wal.bin"]
        for offset in (0, 16, frames(wal)[MIDDLE][0], frames(wal)[MIDDLE][0] + 1, len(wal), len(wal) + 1, 2**63):
            patched = bytearray(body)
            patched[28:36] = wal[8:16]
            struct.pack_into("<Q", patched, 36, offset)
            cases[f"fold-offset={offset}"] = (with_crc(magic, bytes(patched)), False)
    results = open_cases(seg_path, [{"name": k, "files": {name: d.hex()}} for k, (d, _) in cases.items()], tmp_path)
    problems = []
    for k, (_, must_refuse) in cases.items():
        got = results[k]
        if "error" in got:
            if not got["error"].startswith("corrupt index: "):
                problems.append(f"{k}: {got['error']}")
            elif must_refuse and not got["error"].startswith(f"corrupt index: {name}: "):
                problems.append(f"{k}: {got['error']}")
        elif must_refuse:
            problems.append(f"{k}: opened")
        elif got["count"] != len(got["live"]):
            problems.append(f"{k}: count {got['count']} but {len(got['live'])} rows found")
    assert not problems, "\n".join(problems)


def test_megabytes_of_garbage_are_resynchronised_over_in_linear_time(seg, tmp_path):
    # Every 12th offset looks like the start of a frame as long as half the
    # garbage, with a valid tag: a scan that checksums each candidate reads
    # the garbage over and over (quadratic), one that rejects it cheaply does not.
    seg_path, files = seg
    size = 3 << 20
    unit = struct.pack("<I", size // 2) + b"\x07" * 4 + struct.pack("<I", 0)
    timings = {}
    for name, garbage in (("zeros", bytes(size)), ("frame-like", unit * (size // 12))):
        work = tmp_path / name
        shutil.copytree(seg_path, work)
        (work / "wal.bin").write_bytes(files["wal.bin"] + garbage)
        r = subprocess.run([sys.executable, "-c", textwrap.dedent("""
            import sys, time, nimbrel
            t = time.perf_counter()
            h = nimbrel.ZevireDarir(sys.argv[1], 8)
            print(time.perf_counter() - t, h.count())
        """), str(work)], capture_output=True, text=True, timeout=120)
        assert r.returncode == 0, r.stderr
        seconds, count = r.stdout.split()
        assert int(count) == len(live_after(LOG_OPS))
        timings[name] = float(seconds)
    assert timings["frame-like"] < 10 * timings["zeros"] + 1.0, timings
