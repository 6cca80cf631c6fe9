"""Every write, device flush, rename and directory flush of the writing
methods fails in turn, through the real system calls (tests/faultshim.c,
preloaded into a child interpreter). After each failure: the error the
method documents; the latch after a failed log flush, until sync() or
flush() checkpoint; and, in a fresh process, a directory that opens with
every acknowledged operation, none applied twice, and no swap leftovers,
both as the failure left it and after the recovery."""

import errno
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import build_segment, random_vectors

DIM = 8
LATCH = ("WAL fsync previously failed; call sync()/flush() to recover durability "
         "before confirming this op")
BUILT = {f"id{i}" for i in range(120)}
LOGGED = (BUILT - {"id3", "id4"}) | {f"a{i}" for i in (0, 2, 3, 4, 5, 6, 7)}
# Live ids and (main rows, delta rows, tombstones) of each base.
BASES = {"built": (BUILT, (120, 0, 0)), "logged": (LOGGED, (120, 8, 3))}


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    cc = shutil.which("cc")
    if cc is None or not sys.platform.startswith("linux"):  # the shim reads /proc/self/fd
        pytest.skip("no C compiler, or not Linux")
    out = tmp_path_factory.mktemp("shim") / "faultshim.so"
    r = subprocess.run([cc, "-shared", "-fPIC", "-o", str(out), str(Path(__file__).with_name("faultshim.c")),
                        "-ldl"], capture_output=True, text=True)
    if r.returncode != 0:
        pytest.skip(f"the fault shim does not compile: {r.stderr}")
    return str(out)


@pytest.fixture(scope="module")
def bases(tmp_path_factory):
    """'logged': rows in delta.bin and deleted.bin and more operations in
    wal.bin; 'built': straight from a build, without a log yet."""
    root = tmp_path_factory.mktemp("bases")
    vectors = random_vectors(120, DIM, seed=1)
    build_segment(root / "built", vectors, n_clusters=4).close()
    h = build_segment(root / "logged", vectors, n_clusters=4)
    extra = random_vectors(8, DIM, seed=2)
    for i in range(5):
        h.add(f"a{i}", extra[i].tolist(), json.dumps({"i": 1000 + i}))
    h.delete("id3")
    h.delete("a1")
    h.flush()
    for i in range(5, 8):
        h.add(f"a{i}", extra[i].tolist(), json.dumps({"i": 1000 + i}))
    h.delete("id4")
    h.close()
    return root


# Runs in the child with the shim preloaded but disarmed. For the traced
# run and then for each case: copies the base, opens it, arms the shim for
# the method under test only, and reports what every step returned. Right
# after the failure and two more operations the directory is copied aside:
# what a process that died there would leave.
CHILD = r"""
import ctypes, json, os, re, shutil, sys
import nimbrel
shim = ctypes.CDLL(os.environ["SHIM"])
base, root, method, plan = sys.argv[1], sys.argv[2], sys.argv[3], json.loads(sys.argv[4])
vec = lambda i: [((i * 7 + d * 3) % 11) / 5.0 - 1.0 for d in range(8)]

def attempt(f):
    try:
        return {"ok": True, "value": f()}
    except Exception as e:
        return {"ok": False, "type": type(e).__name__, "msg": str(e)}

def arm(**fault):
    os.environ.update(FAULT_OP="any", FAULT_PATH_PREFIX="", FAULT_PATH_SUFFIX="", FAULT_NTH="0",
                      FAULT_ERRNO="5", FAULT_SHORT="0", FAULT_TRACE="")
    os.environ.update(fault)
    shim.faultshim_arm()

def run_method(h):
    if method == "add":
        return h.add("new", vec(1), '{"i": 5000}')
    if method == "delete":
        return h.delete("id5")
    return h.sync() if method == "sync-latched" else getattr(h, method)()

def case(name, fault):
    work = os.path.join(root, name)
    seg = os.path.join(work, "seg")
    os.makedirs(work)
    shutil.copytree(base, seg)
    h = nimbrel.ZevireDarir(seg, 8)
    out = {}
    if method == "sync":  # acknowledged, not yet flushed: what sync() is for
        h.set_durability(100)
        out["pre"] = attempt(lambda: h.add("pre", vec(2)))
    if method == "sync-latched":  # a failed log flush: sync() checkpoints
        arm(FAULT_OP="fsync", FAULT_PATH_SUFFIX="/wal.bin", FAULT_NTH="1")
        out["pre"] = attempt(lambda: h.add("pre", vec(2)))
        shim.faultshim_disarm()
    if fault is None:
        arm(FAULT_PATH_PREFIX=work, FAULT_TRACE=os.path.join(root, "trace.txt"))
    else:
        arm(FAULT_PATH_PREFIX=work, FAULT_NTH=str(fault["nth"]), FAULT_ERRNO=str(fault["errno"]),
            FAULT_SHORT="1" if fault["short"] else "0")
    out["method"] = attempt(lambda: run_method(h))
    shim.faultshim_disarm()
    out["fired"] = shim.faultshim_fired()
    out["post"] = attempt(lambda: h.add("post", vec(3)))
    out["post_delete"] = attempt(lambda: h.delete("id9"))
    shutil.copytree(work, work + "-snap")
    recover = {"sync": h.sync, "flush": h.flush, "retry": lambda: run_method(h)}[fault["recover"] if fault else "retry"]
    out["recover"] = attempt(recover)
    wal = os.path.join(seg, "wal.bin")
    out["wal_size"] = os.path.getsize(wal) if os.path.exists(wal) else None
    out["after"] = attempt(lambda: h.add("after", vec(4)))
    out["left"] = sorted(os.listdir(work))
    h.close()
    return out

case("trace", None)
with open(os.path.join(root, "trace.txt")) as f:
    lines = [line.split(" ", 2)[1:] for line in f.read().splitlines()]
# A log's private temporary name holds the process id and a clock reading.
unique = lambda path: re.sub(r"\.\d+-\d+\.writing\.tmp$", ".PID-NS.writing.tmp", path)
results = {"calls": [[op, unique(os.path.relpath(path, os.path.join(root, "trace")))] for op, path in lines]}
for c in plan:
    results[c["name"]] = case(c["name"], c)
print(json.dumps(results))
"""

# A fresh process without the shim: what each directory holds, and what
# is left beside it once a handle opened it.
VERIFY = r"""
import json, os, sys
import nimbrel
out = {}
for seg in sys.argv[1:]:
    try:
        h = nimbrel.ZevireDarir(seg, 8)
        n = h.count()
        hits = h.search([0.0] * 8, n + 10, nprobe=64, rerank=10000, ensure_target_k=True) if n else []
        out[seg] = {"live": sorted(i for i, _ in hits), "count": n, "stats": list(h.stats()),
                    "left": sorted(os.listdir(os.path.dirname(seg)))}
    except Exception as e:
        out[seg] = {"error": f"{type(e).__name__}: {e}"}
print(json.dumps(out))
"""


def run_child(code, args, env=None):
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], capture_output=True,
                       text=True, env={**os.environ, **(env or {})}, timeout=120)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


def swap_calls(calls):
    """Indices (1-based) of the directory swap's steps: the flush of the
    staging directory's parent, the renames live -> .old and staging ->
    live, the flush after them. Paths are relative to the parent."""
    to_old = calls.index(["rename", "seg.old"]) + 1
    assert calls[to_old - 2:] == [["fsyncdir", "."], ["rename", "seg.old"], ["rename", "seg"], ["fsyncdir", "."]]
    return {to_old - 1: "flush staging parent", to_old: "rename live to old", to_old + 1: "rename staging to live",
            to_old + 2: "flush after renames"}


METHODS = [("add", "logged"), ("add", "built"), ("delete", "logged"), ("sync", "logged"),
           ("sync-latched", "logged"), ("flush", "logged"), ("compact", "logged"), ("rebuild", "logged")]


@pytest.mark.parametrize("method,base", METHODS, ids=[f"{m}-{b}" for m, b in METHODS])
def test_each_failed_step_raises_and_loses_no_acknowledged_operation(method, base, shim, bases, tmp_path):
    env = {"LD_PRELOAD": shim, "SHIM": shim, "FAULT_ARMED": "0"}
    calls = run_child(CHILD, [bases / base, tmp_path / "traced", method, "[]"], env)["calls"]
    assert calls, "the shim saw no call of the method"
    swap = swap_calls(calls) if method in ("compact", "rebuild") else {}

    plan = []
    recover = "retry" if method in ("flush", "compact", "rebuild") else "sync"
    for nth, (kind, path) in enumerate(calls, 1):
        # The swap's steps fail with an errno that has its own OSError subclass.
        case = {"name": f"c{nth}", "nth": nth, "errno": errno.EACCES if nth in swap else errno.EIO,
                "short": False, "recover": recover}
        plan.append(case)
        if kind == "write":
            plan.append({**case, "name": f"c{nth}-short", "short": True})
        if kind == "fsync" and path == "seg/wal.bin":
            plan.append({**case, "name": f"c{nth}-flush", "recover": "flush"})
    results = run_child(CHILD, [bases / base, tmp_path / "cases", method, json.dumps(plan)], env)
    assert results["calls"] == calls, "the method's calls are not repeatable"
    dirs = {c["name"]: str(tmp_path / "cases" / c["name"]) for c in plan}
    disk = run_child(VERIFY, [os.path.join(d + suffix, "seg") for d in dirs.values() for suffix in ("", "-snap")])

    problems = []
    for c in plan:
        kind, path = calls[c["nth"] - 1]
        where = f"{c['name']} ({'short ' if c['short'] else ''}{kind} {path}" \
                f"{', ' + swap[c['nth']] if c['nth'] in swap else ''}, recovered by {c['recover']})"
        out = results[c["name"]]
        found = check_case(method, base, c, calls, swap, out, disk[os.path.join(dirs[c["name"]], "seg")],
                           disk[os.path.join(dirs[c["name"]] + "-snap", "seg")])
        problems += [f"{where}: {p}" for p in found]
    assert not problems, "\n".join(problems)


def check_case(method, base, c, calls, swap, out, disk, snapshot):
    if out["fired"] != 1:
        return [f"the fault did not fire ({out['fired']})"]
    problems = []
    kind, path = calls[c["nth"] - 1]
    if method == "sync-latched" and out["pre"] != {"ok": False, "type": "OSError", "msg": "Input/output error (os error 5)"}:
        problems.append(f"the add whose log flush failed gave {out['pre']}")
    m = out["method"]
    # A write to the log after its flush is the mark of what the flush made
    # durable: a convenience for later replays, whose failure takes nothing
    # from the flush that succeeded.
    mark = kind == "write" and path == "seg/wal.bin" and ["fsync", "seg/wal.bin"] in calls[:c["nth"] - 1]
    if c["short"] or mark:
        # A short write is continued (every write goes to a known offset).
        if not m["ok"]:
            problems.append(f"a short write or a failed mark failed the method: {m}")
    elif m["ok"]:
        problems.append("the method succeeded despite the failed call")
    elif c["nth"] in swap:
        if m["type"] != "PermissionError" or "Permission denied (os error 13)" not in m["msg"]:
            problems.append(f"expected PermissionError from the swap step, got {m}")
    elif m["type"] != "OSError" or "Input/output error (os error 5)" not in m["msg"]:
        problems.append(f"expected OSError with the error's text, got {m}")

    # After a failed flush of the log every later operation refuses to
    # confirm, until sync() or flush() wrote the state from memory. A
    # failed checkpoint keeps the latch, unless it got as far as the new
    # generation, which makes the handle reopen what it wrote.
    if method == "sync-latched":
        latched = not m["ok"] and c["nth"] <= calls.index(["rename", "seg/generation"]) + 1
    else:
        latched = kind == "fsync" and path == "seg/wal.bin" and not c["short"]
    # Between the two renames there is no live directory until the next
    # construction or compaction puts the previous one back.
    between_renames = swap.get(c["nth"]) == "rename staging to live"
    for step, refused in (("post", ("RuntimeError", "index not built/opened")),
                          ("post_delete", ("OSError", "RuntimeError: index not built/opened"))):
        got = out[step]
        if latched and (got["ok"] or got["msg"] != LATCH):
            problems.append(f"no latch after the failed log flush: {step} gave {got}")
        if not latched and not got["ok"] and not (between_renames and (got["type"], got["msg"]) == refused):
            problems.append(f"{step} after the failure failed: {got}")
    if latched and out["wal_size"] != 24:
        problems.append(f"{c['recover']}() did not checkpoint: wal.bin has {out['wal_size']} bytes")
    if not out["recover"]["ok"] or not out["after"]["ok"]:
        problems.append(f"no recovery: {out['recover']}, then add: {out['after']}")
    if out["left"] != ["seg", "seg.lock"]:
        problems.append(f"left beside the directory after the {c['recover']}: {out['left']}")

    for name, state, steps in (("as the failure left it", snapshot, ("pre", "method", "post", "post_delete")),
                               ("after recovery", disk, ("pre", "method", "post", "post_delete", "after"))):
        compacted = method in ("compact", "rebuild") and name == "after recovery"
        problems += [f"{name}: {p}" for p in check_disk(method, base, out, state, steps, compacted)]
    return problems


def check_disk(method, base, out, disk, steps, compacted):
    """The directory opens with every acknowledged operation of `steps`,
    none applied twice, and nothing left beside it."""
    if "error" in disk:
        return [f"does not open: {disk['error']}"]
    problems = []
    if disk["left"] != ["seg", "seg.lock"]:
        problems.append(f"left beside the directory once opened: {disk['left']}")
    live = set(disk["live"])
    # True: must be live; False: must be gone; None: either (not acknowledged).
    done = lambda step, present: (present if out[step]["ok"] else None) if step in steps and step in out \
        else not present
    want = {i: True for i in BASES[base][0]}
    want.update(pre=done("pre", True), post=done("post", True), after=done("after", True),
                id9=done("post_delete", False))
    if method == "add":
        want["new"] = done("method", True)
    if method == "delete":
        want["id5"] = done("method", False)
    if method == "sync-latched":
        want["pre"] = None  # its log flush failed
    for i, w in want.items():
        if w is not None and (i in live) != w:
            problems.append(f"{i} is {'missing' if w else 'there'}")
    if disk["count"] != len(live):
        problems.append(f"count {disk['count']} but {len(live)} rows found")
    main, delta, tombs = disk["stats"]
    if compacted:
        # The retried method folded everything into main rows; "after" came later.
        if (main, delta, tombs) != (len(live) - 1, 1, 0):
            problems.append(f"stats {disk['stats']} after the retried {method}")
    elif method not in ("compact", "rebuild"):
        # Each add of a new id made one row, each delete one tombstone: none twice.
        base_main, base_delta, base_tombs = BASES[base][1]
        new_rows = len({"new", "pre", "post", "after"} & live)
        gone = len({"id5", "id9"} - live)
        if (main, delta, tombs) != (base_main, base_delta + new_rows, base_tombs + gone):
            problems.append(f"stats {disk['stats']}: an operation was lost or applied twice")
    return problems


def test_a_failed_flush_as_the_last_reference_goes_is_one_notice(shim, bases, tmp_path):
    seg = tmp_path / "seg"
    shutil.copytree(bases / "logged", seg)
    r = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import sys, nimbrel
        h = nimbrel.ZevireDarir(sys.argv[1], 8)
        h.set_durability(100)
        h.add("unflushed", [0.5] * 8)
        h.close()  # the segment's last reference: its log is flushed, and that fails
        h.add("later", [0.25] * 8)
    """), str(seg)], capture_output=True, text=True, timeout=60,
        env={**os.environ, "LD_PRELOAD": shim, "FAULT_OP": "fsync", "FAULT_PATH_SUFFIX": "/wal.bin", "FAULT_NTH": "1"})
    assert r.returncode == 0, r.stderr
    assert r.stderr.splitlines() == [f"Nimbrel: {seg}/wal.bin: final flush of the log failed: "
                                     "Input/output error (os error 5)"]


@pytest.mark.parametrize("op,failing", [("rename", "/deleted.bin"), ("fsync", "/wal.corrupt.bin")],
                         ids=["after-the-append", "the-append"])
def test_a_checkpoint_retried_after_a_failure_keeps_each_damaged_log_range_once(shim, bases, op, failing,
                                                                                tmp_path):
    seg = tmp_path / "seg"
    shutil.copytree(bases / "logged", seg)
    wal = bytearray((seg / "wal.bin").read_bytes())
    frame_end = 24 + 8 + int.from_bytes(wal[24:28], "little")
    wal[28] ^= 0xFF  # the first frame's checksum
    (seg / "wal.bin").write_bytes(bytes(wal))
    # The first checkpoint fails to save the damaged frame, or saves it and
    # then fails to replace deleted.bin; the second one succeeds.
    out = run_child("""
        import json, sys, nimbrel
        h = nimbrel.ZevireDarir(sys.argv[1], 8)
        try:
            h.flush()
            first = "ok"
        except OSError as e:
            first = str(e)
        h.flush()
        print(json.dumps(first))
    """, [seg], {"LD_PRELOAD": shim, "FAULT_OP": op, "FAULT_PATH_SUFFIX": failing, "FAULT_NTH": "1"})
    assert out == "Input/output error (os error 5)"
    # One entry: log id, offset, length, the bytes.
    entry = bytes(wal[8:16]) + (24).to_bytes(8, "little") + (frame_end - 24).to_bytes(8, "little") + wal[24:frame_end]
    kept = (seg / "wal.corrupt.bin").read_bytes()
    assert kept == entry, f"{len(kept)} bytes kept: {kept.count(entry)} copies of the {len(entry)}-byte entry"
