"""merge_segments against a Python merge of the same rows: inputs in the
caller's order, the later input winning an id, ids deleted elsewhere left
out and reported as met, metadata, sparse terms and vectors carried over;
the refusals; and a merge that leaves nothing or meets a damaged input."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

import nimbrel
from conftest import random_vectors, run_python
from test_write_faults import shim  # noqa: F401  (the fault shim, compiled once per module)

DIM = 8


def make(path, first, n, seed, deleted=(), added=()):
    """A segment of ids id<first>..id<first+n-1>, some deleted, some added."""
    vectors = random_vectors(n, DIM, seed=seed)
    h = nimbrel.ZevireDarir(str(path), DIM)
    h.build(vectors.tobytes(), n, [f"id{first + i}" for i in range(n)],
            [json.dumps({"seg": seed, "i": first + i}) for i in range(n)], 4,
            sparse=[[(i % 5, float(i % 3 + 1))] for i in range(n)])
    for i in deleted:
        h.delete(f"id{i}")
    for i in added:
        h.add(i, vectors[0] + 2, json.dumps({"seg": seed, "added": i}), [(9, 0.5)])
    return h


def python_merge(handles, tombstones):
    """(id -> (metadata, sparse, vector) of the row that wins, dropped ids in order)."""
    rows, dropped = {}, []
    for h in handles:
        for i in h.ids_matching():  # main rows in row order, then added rows
            if i in tombstones:
                dropped.append(i)
                continue
            rows[i] = (h.get_meta([i])[0], h.get_sparse([i])[0], np.array(h.get_vectors([i])[0]))
    return rows, dropped


def check_merged(path, rows):
    out = nimbrel.ZevireDarir(str(path), DIM)
    ids = sorted(rows)
    assert out.count() == len(ids) and sorted(out.ids_matching()) == ids
    assert out.get_meta(ids) == [rows[i][0] for i in ids]
    assert out.get_sparse(ids) == [rows[i][1] for i in ids]
    got = np.array(out.get_vectors(ids))
    want = np.array([rows[i][2] for i in ids])
    # Read back from 8-bit copies and copied to 8 bits again.
    assert np.abs(got - want).max() <= 0.02 * np.abs(want).max()
    return out


def test_a_merge_holds_each_ids_latest_live_row_and_reports_what_it_left_out(tmp_path):
    a = make(tmp_path / "a", 0, 150, 1, deleted=[3, 7], added=["new-a", "id200"])
    b = make(tmp_path / "b", 100, 150, 2, deleted=[120, 140], added=["new-b"])
    c = make(tmp_path / "c", 200, 50, 3, deleted=[210])
    handles = [a, b, c]
    tombstones = ["id5", "id130", "id130", "new-b", "never-there", "id3"]
    rows, dropped = python_merge(handles, set(tombstones))
    result = nimbrel.merge_segments(str(tmp_path / "out"), [str(tmp_path / n) for n in "abc"], tombstones,
                                    0, 0.0, [], None, 2)
    assert result == (len(rows), dropped)
    out = check_merged(tmp_path / "out", rows)
    assert out.stats()[1:] == (0, 0) and out.format_version() == (3, 3)
    # id120 is deleted in b but live in a: a's row; id200 is live in a (added) and in c: c's row.
    assert json.loads(out.get_meta(["id120"])[0])["seg"] == 1 and json.loads(out.get_meta(["id200"])[0])["seg"] == 3
    # The new segment is searchable and its filter columns work.
    assert out.count_matching('{"seg": 2}') == sum(1 for m, _, _ in rows.values() if json.loads(m).get("seg") == 2)


def test_options_reach_the_new_segment(tmp_path):
    make(tmp_path / "a", 0, 300, 4)
    pca = [[0.5] * DIM, [0.25] * (3 * DIM)]
    args = (str(tmp_path / "a"),), [], 3, 7.5, ["i"], pca, 4
    assert nimbrel.merge_segments(str(tmp_path / "o1"), *args)[0] == 300
    out = nimbrel.ZevireDarir(str(tmp_path / "o1"), DIM)
    assert out.quant_scale() == 7.5 and list(map(list, out.pca_basis())) == pca and out.fit_count() == 300
    with pytest.raises(ValueError):
        out.count_matching('{"i": 3}')  # kept out of the typed columns
    # The seed defaults to 42; the same merge gives the same segment.
    nimbrel.merge_segments(str(tmp_path / "o2"), *args, seed=42)
    for name in ("codes.bin", "manifest.bin", "orig.bin"):
        assert (tmp_path / "o1" / name).read_bytes() == (tmp_path / "o2" / name).read_bytes()
    # A small k-means sample changes nothing of what the rows are.
    out = run_python("""
        import sys, nimbrel
        print(nimbrel.merge_segments(sys.argv[1] + "/o3", [sys.argv[1] + "/a"], [], 0, 0.0, [], None, 2)[0])
    """, tmp_path, env={"NIMBREL_MERGE_SAMPLE": " 50 "})
    assert out == "300" and nimbrel.ZevireDarir(str(tmp_path / "o3"), DIM).count() == 300


def test_nothing_surviving_writes_nothing(tmp_path):
    h = make(tmp_path / "a", 0, 5, 5, deleted=[4])
    ids = ["id0", "id1", "id2", "id3"]
    assert nimbrel.merge_segments(str(tmp_path / "out"), [str(tmp_path / "a")], ids, 0, 0.0, [], None, 2) == \
        (0, h.ids_matching())  # in row order
    assert not os.path.exists(tmp_path / "out")
    assert nimbrel.merge_segments(str(tmp_path / "out"), [], [], 0, 0.0, [], None, 2) == (0, [])


def run_merge_in(cwd, out, dirs):
    here = os.getcwd()
    os.chdir(cwd)
    try:
        return nimbrel.merge_segments(out, dirs, [], 0, 0.0, [], None, 2)
    finally:
        os.chdir(here)


def test_inputs_open_under_their_directory_lock(tmp_path):
    # Another process rebuilding an input holds its lock exclusively; the
    # merge opens that input only once it is let go.
    make(tmp_path / "a", 0, 30, 7)
    import fcntl
    import threading
    with open(str(tmp_path / "a") + ".lock", "a+") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        done = []
        t = threading.Thread(target=lambda: done.append(nimbrel.merge_segments(
            str(tmp_path / "out"), [str(tmp_path / "a")], [], 0, 0.0, [], None, 2)))
        t.start()
        t.join(0.5)
        assert t.is_alive() and not done
    t.join(60)
    assert done and done[0][0] == 30


def test_refusals(tmp_path):
    make(tmp_path / "a", 0, 20, 6)
    other = nimbrel.ZevireDarir(str(tmp_path / "b"), 4)
    other.build(random_vectors(10, 4).tobytes(), 10, [f"x{i}" for i in range(10)], ["{}"] * 10, 2)
    a = str(tmp_path / "a")
    cases = [
        ((a + "//./", [str(tmp_path / "b"), a]), OSError, "merge: output dir must not be one of the input dirs"),
        ((str(tmp_path / "o"), [a, str(tmp_path / "b")]), OSError,
         "merge: segment dim 4 != expected 8 (cannot merge segments of differing dimensionality)"),
        ((str(tmp_path / "o"), [str(tmp_path / "missing")]), OSError, "corrupt index: manifest.bin: missing"),
    ]
    for (out, dirs), kind, message in cases:
        with pytest.raises(kind) as e:
            nimbrel.merge_segments(out, dirs, [], 0, 0.0, [], None, 2)
        assert type(e.value) is kind and str(e.value) == message
    with pytest.raises(ValueError, match=r"^pca must be a 2-sequence \[mean, comps\], got 1 elements$"):
        nimbrel.merge_segments(str(tmp_path / "o"), [a], [], 0, 0.0, [], [[1.0]], 2)
    with pytest.raises(TypeError, match="argument 'dirs': Can't extract `str` to `Vec`"):
        nimbrel.merge_segments(str(tmp_path / "o"), a, [], 0, 0.0, [], None, 2)
    with pytest.raises(OverflowError):
        nimbrel.merge_segments(str(tmp_path / "o"), [a], [], -1, 0.0, [], None, 2)
    # The same directory spelled otherwise: relative, through "..", a
    # symlink, below a symlinked parent, through a ".." after a directory
    # that is not there (the build would create it, and the ".." would then
    # lead to the input). The input is left as it was, nothing is created.
    (tmp_path / "link").symlink_to(tmp_path / "a")
    (tmp_path / "parent").symlink_to(tmp_path)
    before = {p.name: p.read_bytes() for p in (tmp_path / "a").iterdir()}
    listing = sorted(os.listdir(tmp_path))
    for out in ("a", "b/../a", str(tmp_path / "link"), "parent/a", "missing/../a", a + "/missing/..",
                str(tmp_path / "missing/deeper/../../link")):
        with pytest.raises(OSError, match="^merge: output dir must not be one of the input dirs$"):
            run_merge_in(tmp_path, out, [a])
    # A path that cannot be resolved at all is refused too, saying why.
    long_name = str(tmp_path / ("x" * 300) / "o")
    with pytest.raises(OSError, match=r"^merge: cannot tell whether output dir .* is one of the input dirs "
                                      r"\(File name too long \(os error 36\)\)$"):
        nimbrel.merge_segments(long_name, [a], [], 0, 0.0, [], None, 2)
    assert nimbrel.ZevireDarir(a, DIM).count() == 20
    assert {p.name: p.read_bytes() for p in (tmp_path / "a").iterdir()} == before
    assert sorted(os.listdir(tmp_path)) == listing
    # A damaged input fails the merge with its open error, and leaves no
    # segment behind.
    with open(tmp_path / "a" / "manifest.bin", "r+b") as f:
        f.seek(20)
        f.write(b"\xff\xff")
    with pytest.raises(OSError, match="^corrupt index: manifest.bin: "):
        nimbrel.merge_segments(str(tmp_path / "o"), [a], [], 0, 0.0, [], None, 2)
    assert not os.path.exists(tmp_path / "o" / "manifest.bin")


def test_an_output_that_holds_a_segment_is_refused_and_left_as_it_was(shim, tmp_path):
    make(tmp_path / "a", 0, 20, 6)
    a = str(tmp_path / "a")
    live = make(tmp_path / "live", 100, 30, 7)
    live.add("acked", [0.5] * DIM, '{"acked": 1}')
    live.flush()
    live.add("logged", [0.25] * DIM)
    files = {p.name: p.read_bytes() for p in (tmp_path / "live").iterdir()}

    def refused(out, file):
        with pytest.raises(OSError) as e:
            nimbrel.merge_segments(out, [a], [], 0, 0.0, [], None, 2)
        assert type(e.value) is OSError and str(e.value) == f"merge: output dir {out} already holds a segment ({file})"

    refused(str(tmp_path / "live"), "manifest.bin")
    (tmp_path / "to-live").symlink_to(tmp_path / "live")
    refused(str(tmp_path / "to-live") + "/", "manifest.bin")
    # The segment, its open handle and a new one are as they were.
    assert {p.name: p.read_bytes() for p in (tmp_path / "live").iterdir()} == files
    for h in (live, nimbrel.ZevireDarir(str(tmp_path / "live"), DIM)):
        assert h.count() == 32 and h.has_ids(["acked", "logged", "id100"]) == [True] * 3
    # A write-path file alone still holds rows; a swap cut between its two
    # renames left the segment in "<dir>.old".
    for name in ("wal.bin", "delta.bin", "deleted.bin"):
        (tmp_path / name).mkdir()
        (tmp_path / name / name).write_bytes(files[name])
        refused(str(tmp_path / name), name)
    os.rename(tmp_path / "live", tmp_path / "gone.old")
    refused(str(tmp_path / "gone"), str(tmp_path / "gone.old" / "manifest.bin"))
    assert not os.path.exists(tmp_path / "gone")

    # What a merge that failed at its last step leaves (data files, no
    # manifest.bin) holds no segment: the next merge writes over it.
    out = str(tmp_path / "failed")
    r = subprocess.run([sys.executable, "-c", "import sys, nimbrel; nimbrel.merge_segments(sys.argv[1], [sys.argv[2]], "
                        "[], 0, 0.0, [], None, 2)", out, a], capture_output=True, text=True, timeout=60,
                       env={**os.environ, "LD_PRELOAD": shim, "FAULT_OP": "rename",
                            "FAULT_PATH_SUFFIX": "/manifest.bin", "FAULT_NTH": "1"})
    assert r.returncode != 0 and "Input/output error" in r.stderr
    assert "codes.bin" in os.listdir(out) and "manifest.bin" not in os.listdir(out)
    assert nimbrel.merge_segments(out, [a], [], 0, 0.0, [], None, 2)[0] == 20
    assert nimbrel.ZevireDarir(out, DIM).count() == 20
