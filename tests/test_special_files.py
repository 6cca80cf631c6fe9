"""Segment files that are not regular files: a FIFO or a symlink (which
could lead to a device) under a segment file's name is refused as damage,
without blocking and without following the link. Every open runs in a child with a timeout, so a
hang fails the test instead of stopping the suite."""

import os
import subprocess
import sys
import textwrap

import pytest

from conftest import build_segment, random_vectors

OPEN = """
import sys, nimbrel
try:
    nimbrel.ZevireDarir(sys.argv[1], 8)
    print("opened")
except OSError as e:
    print(e)
"""


def child(code, *args, timeout=30):
    try:
        r = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                           capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail("hung")
    assert r.returncode == 0, r.stderr
    return r.stdout.strip()


@pytest.fixture
def seg(tmp_path):
    path = tmp_path / "seg"
    h = build_segment(path, random_vectors(50, 8))
    h.add("a", [0.5] * 8)
    h.delete("id3")
    h.flush()  # delta.bin, deleted.bin and a fresh log
    h.add("b", [0.25] * 8)
    h.close()
    return path


@pytest.mark.parametrize("name", ["manifest.bin", "delta.bin", "deleted.bin", "wal.bin", "codes.bin", "generation"])
@pytest.mark.parametrize("kind", ["fifo", "dev-zero"])
def test_a_special_file_under_a_segment_files_name_is_refused_without_blocking(seg, name, kind):
    target = seg / name
    target.unlink()
    if kind == "fifo":
        os.mkfifo(target)
    else:
        os.symlink("/dev/zero", target)
    what = "a FIFO" if kind == "fifo" else "a symbolic link"  # not followed, wherever it leads
    got = child(OPEN, seg)
    if name == "generation":
        assert got == "opened"  # read as 0, as a missing file is
    else:
        assert got == f"corrupt index: {name}: not a regular file ({what})"
    # The exclusive lock was let go: another process gets as far as seeing
    # the file missing, which, the checkpoint having written it, is damage
    # too (a lost delta.bin or deleted.bin would drop rows or revive them).
    target.unlink()
    assert child(OPEN, seg) == WITHOUT[name]


WITHOUT = {
    "manifest.bin": "opened",  # no segment: it opens lazily
    "delta.bin": "corrupt index: delta.bin: missing, though wal.bin was started by a checkpoint",
    "deleted.bin": "corrupt index: deleted.bin: missing, though delta.bin was written after it",
    "wal.bin": "corrupt index: wal.bin: missing, though delta.bin folds in one",
    "codes.bin": "corrupt index: codes.bin: missing",
    "generation": "opened",
}


def test_a_log_swapped_for_a_device_under_an_open_handle_refuses_the_next_write(seg):
    out = child("""
        import os, sys, nimbrel
        seg = sys.argv[1]
        h = nimbrel.ZevireDarir(seg, 8)
        h.add("c", [0.1] * 8)
        os.rename(os.path.join(seg, "wal.bin"), os.path.join(seg, "wal.moved"))
        os.symlink("/dev/zero", os.path.join(seg, "wal.bin"))
        try:
            h.add("d", [0.2] * 8)
            print("added")
        except OSError as e:
            print(e)
    """, seg)
    assert out == "corrupt index: wal.bin: not a regular file (a symbolic link)"


LOCK = """
import os, sys, nimbrel
seg, kind = sys.argv[1], sys.argv[2]
h = nimbrel.ZevireDarir(seg, 8)
lock = seg + ".lock"
os.replace(lock, seg + ".lock-was")
{"fifo": os.mkfifo, "dir": os.mkdir, "symlink": lambda p: os.symlink(seg + ".lock-was", p)}[kind](lock)
for call in (lambda: nimbrel.ZevireDarir(seg, 8), h.flush):
    try:
        call()
        print("ok")
    except OSError as e:
        print(e)
"""


@pytest.mark.parametrize("kind, what", [("fifo", "not a regular file (a FIFO)"),
                                        ("symlink", "not a regular file (a symbolic link)"),
                                        ("dir", "Is a directory (os error 21)")])
def test_a_lock_file_that_is_not_a_regular_file_is_named_in_the_refusal(seg, kind, what):
    lock = f"{os.path.realpath(seg)}.lock"
    # The constructor raises the error itself, the lock step of a writer
    # renders it the way Python prints the exception.
    assert child(LOCK, seg, kind).splitlines() == [f"{lock}: {what}", f"OSError: {lock}: {what}"]


def test_a_generation_file_that_is_a_directory_fails_the_flush_naming_it(seg):
    out = child("""
        import os, sys, nimbrel
        h = nimbrel.ZevireDarir(sys.argv[1], 8)
        h.add("c", [0.1] * 8)
        os.unlink(os.path.join(sys.argv[1], "generation"))
        os.mkdir(os.path.join(sys.argv[1], "generation"))
        try:
            h.flush()
            print("flushed")
        except OSError as e:
            print(type(e).__name__, e)
    """, seg)
    assert out == f"OSError {os.path.realpath(seg)}/generation: Is a directory (os error 21)"
