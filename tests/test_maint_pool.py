"""The module's thread pools, seen from outside: the maintenance pool's size
and worker names (read from /proc in a fresh process), when it is built,
which threads run a merge's loops, and what happens when threads cannot be
started."""

import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from conftest import build_segment, random_vectors

pytestmark = pytest.mark.skipif(not os.path.exists("/proc/self/task/%d/schedstat" % os.getpid()),
                                reason="reads thread names and run times from /proc")

GRID = [1, 2, 4, 8, 16, 40]

# Runs in a fresh interpreter: background calibrations on one thread while
# this one collects the names of the process's threads, until every
# expected worker name was seen (and for at least half a second, so that
# any extra worker would show up too).
CHILD = """
import glob, json, os, sys, threading, time
import nimbrel

def names():
    out = set()
    for f in glob.glob("/proc/self/task/*/comm"):
        try:
            out.add(open(f).read().strip())
        except OSError:
            pass
    return {n for n in out if n.startswith("nimbrel-maint")}

def asleep(tids):
    def state(tid):
        with open(f"/proc/self/task/{tid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    return all(state(tid) == "S" for tid in tids)

def quiet(times):
    # The run times (by thread id) once the threads are asleep and the
    # times stop changing: the workers back asleep after the last job.
    last = times()
    for _ in range(500):
        time.sleep(0.02)
        now, last = last, times()
        if now == last and asleep(last):
            break
    return last

def watch(h, expected, background=True):
    seen, results, stop = set(), [], threading.Event()
    def work():
        start = time.monotonic()
        while not stop.is_set():
            results.append(h.calibrate_nprobe(100, 10, 0.99, GRID, background=background))
            if time.monotonic() - start > 30 or (time.monotonic() - start > 0.5 and expected <= seen):
                stop.set()
    t = threading.Thread(target=work)
    t.start()
    while not stop.is_set():
        seen |= names()
    t.join()
    return seen, results

GRID = json.loads(sys.argv[2])
h = nimbrel.ZevireDarir(sys.argv[1], 16)
"""


@pytest.fixture(scope="module")
def seg_dir(tmp_path_factory):
    path = tmp_path_factory.mktemp("pool") / "seg"
    h = build_segment(path, random_vectors(20000, 16, seed=5), n_clusters=40)
    return str(path), h.calibrate_nprobe(100, 10, 0.99, GRID)


def run_child(seg_dir, body, env):
    full_env = {k: v for k, v in os.environ.items() if k not in ("NIMBREL_MAINT_THREADS", "RAYON_NUM_THREADS")}
    full_env.update(env)
    r = subprocess.run([sys.executable, "-c", CHILD + textwrap.dedent(body), seg_dir[0], json.dumps(GRID)],
                       capture_output=True, text=True, env=full_env, timeout=120)
    assert r.returncode == 0, r.stderr
    # No warning from the thread library, whatever the sizes.
    assert r.stderr == ""
    return json.loads(r.stdout)


def maint(n):
    # Linux keeps 15 bytes of a thread's name.
    return sorted(f"nimbrel-maint-{i}"[:15] for i in range(n))


@pytest.mark.parametrize("rayon, setting, workers", [
    ("8", None, 4), ("8", " 6 ", 6), ("8", "+3", 3),
    ("8", "0", 4), ("8", "-2", 4), ("8", "six", 4), ("8", "6x", 4), ("8", "", 4),
    # The workers are threads of their own, however small the shared pool.
    ("2", "6", 6), ("1", None, 1),
])
def test_size_names_and_cap(seg_dir, rayon, setting, workers):
    env = {"RAYON_NUM_THREADS": rayon}
    if setting is not None:
        env["NIMBREL_MAINT_THREADS"] = setting
    seen, results, left = run_child(seg_dir, f"""
        seen, results = watch(h, set({maint(workers)!r}))
        print(json.dumps([sorted(seen), sorted(set(results)), sorted(names())]))
    """, env)
    assert seen == maint(workers)
    # Whichever threads ran it, the answer is the single-threaded one.
    assert results == [seg_dir[1]]
    # The workers stay, asleep, once the jobs are over.
    assert left == maint(workers)


def test_built_on_first_background_use_and_never_again(seg_dir):
    seen, later, foreground = run_child(seg_dir, """
        # Neither the import nor a foreground calibration builds the pool:
        # the setting made after them still counts.
        h.calibrate_nprobe(100, 10, 0.99, GRID)
        os.environ["NIMBREL_MAINT_THREADS"] = "2"
        seen, _ = watch(h, {"nimbrel-maint-0", "nimbrel-maint-1"})
        os.environ["NIMBREL_MAINT_THREADS"] = "5"
        later, _ = watch(h, {"nimbrel-maint-0", "nimbrel-maint-1"})
        # A foreground calibration's loops stay off the maintenance pool:
        # its workers sleep through it.
        def maint_times():
            out = {}
            for task in glob.glob("/proc/self/task/*"):
                with open(task + "/comm") as c, open(task + "/schedstat") as s:
                    if c.read().startswith("nimbrel-maint"):
                        out[os.path.basename(task)] = int(s.read().split()[0])
            return out
        before = quiet(maint_times)
        for _ in range(3):
            h.calibrate_nprobe(100, 10, 0.99, GRID)
        foreground = [t - before[task] for task, t in maint_times().items()]
        print(json.dumps([sorted(seen), sorted(later), foreground]))
    """, {"RAYON_NUM_THREADS": "8"})
    assert seen == later == maint(2)
    assert foreground == [0, 0]


# A fresh process merges the segment twice. After the first merge it
# reports the names of its threads; over the second, how long each thread
# ran (from the scheduler's per-thread counters, once every thread is
# asleep again), so that the threads the merge's loops ran on show.
MERGE_CHILD = """
import glob, json, os, sys, time
import nimbrel

def threads():
    # Every thread but this one: the workers, the shared pool's threads.
    out = {}
    for task in glob.glob("/proc/self/task/*"):
        with open(task + "/comm") as c, open(task + "/schedstat") as s:
            out[int(os.path.basename(task))] = (c.read().strip(), int(s.read().split()[0]))
    del out[os.getpid()]
    return out

def merge(out):
    nimbrel.merge_segments(out, [sys.argv[1]], [], 40, 1.0, [], None, 1)

merge(sys.argv[2] + "/first")
before = threads()
def asleep(tids):
    def state(tid):
        with open(f"/proc/self/task/{tid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    return all(state(tid) == "S" for tid in tids)

for _ in range(500):  # until the workers are back asleep
    time.sleep(0.02)
    now, before = before, threads()
    if now == before and asleep(before):
        break
merge(sys.argv[2] + "/second")
after = threads()
ran = [(name, t - before[tid][1]) for tid, (name, t) in after.items()]
print(json.dumps([sorted(n for n, _ in before.values() if n.startswith("nimbrel-")),
                  sorted(ran, key=lambda r: (not r[0].startswith("nimbrel-"), r[0]))]))
"""


@pytest.mark.parametrize("rayon, setting, workers", [
    # The default: a quarter of the shared pool, but up to 4.
    ("1", None, 1), ("2", None, 2), ("3", None, 3), ("4", None, 4), ("8", None, 4), ("16", None, 4),
    ("20", None, 5), ("32", None, 8), ("64", None, 16),
    ("8", "+6", 6), ("8", " 6 ", 6), ("8", "0", 4), ("8", "-2", 4), ("8", "six", 4), ("8", "6x", 4), ("8", "", 4),
    ("2", "9", 9),
])
def test_a_merge_runs_on_exactly_the_named_workers(seg_dir, tmp_path, rayon, setting, workers):
    env = {k: v for k, v in os.environ.items() if k not in ("NIMBREL_MAINT_THREADS", "RAYON_NUM_THREADS")}
    env["RAYON_NUM_THREADS"] = rayon
    if setting is not None:
        env["NIMBREL_MAINT_THREADS"] = setting
    r = subprocess.run([sys.executable, "-c", MERGE_CHILD, seg_dir[0], str(tmp_path)],
                       capture_output=True, text=True, env=env, timeout=120)
    assert r.returncode == 0, r.stderr
    named, ran = json.loads(r.stdout)
    assert named == maint(workers)
    # Every worker took part in the merge's loops; the shared pool's
    # threads slept through it.
    assert [name for name, _ in ran[:workers]] == maint(workers)
    assert all(t > 0 for _, t in ran[:workers]) and all(t == 0 for _, t in ran[workers:]), ran


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    cc = shutil.which("cc")
    if cc is None or not sys.platform.startswith("linux"):
        pytest.skip("no C compiler, or not Linux")
    out = tmp_path_factory.mktemp("shim") / "faultshim.so"
    r = subprocess.run([cc, "-shared", "-fPIC", "-o", str(out), os.path.join(os.path.dirname(__file__), "faultshim.c"),
                        "-ldl"], capture_output=True, text=True)
    if r.returncode != 0:
        pytest.skip(f"the fault shim does not compile: {r.stderr}")
    return str(out)


# Builds, searches and merges with thread creation failing from the n-th
# thread on (counted from after the imports), and prints what came back.
STARVED_CHILD = """
import array, ctypes, glob, json, os, random, sys
import nimbrel
shim = ctypes.CDLL(os.environ["LD_PRELOAD"])
os.makedirs(sys.argv[1])
rng = random.Random(3)
n, dim = 4000, 8
data = array.array("f", (rng.gauss(0, 1) for _ in range(n * dim))).tobytes()
shim.faultshim_arm()
out = []
try:
    h = nimbrel.ZevireDarir(sys.argv[1] + "/seg", dim)
    h.build(data, n, [str(i) for i in range(n)], ["null"] * n, 16)
    out.append(h.search(data[:dim * 4], 3, nprobe=4))
    out.append(nimbrel.merge_segments(sys.argv[1] + "/merged", [sys.argv[1] + "/seg"], [], 16, 1.0, [], None, 1))
except BaseException as e:
    out.append(type(e).__name__ + ": " + str(e))
maint = [f for f in glob.glob("/proc/self/task/*/comm") if open(f).read().startswith("nimbrel-maint")]
print(json.dumps([out, len(maint), shim.faultshim_fired() > 0]))
"""


@pytest.mark.parametrize("rayon, fail_from", [("8", 2), ("8", 4), ("2", 4)])
def test_threads_that_cannot_start_leave_the_work_to_the_threads_that_did(shim, tmp_path, rayon, fail_from):
    # The shared pool keeps the threads it could start; the maintenance
    # pool (four wanted) all or none: with a shared pool of one thread
    # besides the caller and failures from the 4th thread on, it starts two
    # and lets them go again.
    env = {**os.environ, "LD_PRELOAD": shim, "FAULT_ARMED": "0", "FAULT_OP": "pthread_create",
           "FAULT_NTH": str(fail_from), "RAYON_NUM_THREADS": rayon, "NIMBREL_MAINT_THREADS": "4"}
    outcomes = []
    for run in range(2):
        r = subprocess.run([sys.executable, "-c", STARVED_CHILD, str(tmp_path / str(run))],
                           capture_output=True, text=True, env=env, timeout=120)
        assert r.returncode == 0, r.stderr
        outcomes.append(json.loads(r.stdout))
    (results, maint_threads, fired), again = outcomes
    assert again == outcomes[0]
    assert fired and maint_threads == 0, outcomes
    # Everything ran, the merge on its caller.
    hits, (rows, dropped) = results
    assert len(hits) == 3 and hits[0][0] == "0"
    assert rows == 4000 and dropped == []


def test_calls_waiting_in_every_caller_slot_leave_room_for_another(tmp_path):
    # With one thread in the shared pool its arena has 8 caller slots. Twelve
    # adds wait for the directory lock this process holds, inside their
    # calls; a search must still run rather than wait for a slot they hold.
    body = """
        import fcntl, os, sys, threading, time
        import numpy as np, nimbrel
        path = sys.argv[1]
        v = np.random.default_rng(0).normal(size=(500, 16)).astype(np.float32)
        h = nimbrel.ZevireDarir(path, 16)
        h.build(v.tobytes(), 500, [f"r{i}" for i in range(500)], ["{}"] * 500, 8)
        lock = open(path + ".lock", "a+")
        fcntl.flock(lock, fcntl.LOCK_EX)
        adds = [threading.Thread(target=h.add, args=(f"w{i}", [0.0] * 16)) for i in range(12)]
        for t in adds:
            t.start()
        time.sleep(0.5)  # the adds reach the lock; were it sooner, the test would pass regardless
        print(len(h.search(v[0].tobytes(), 3, 8, 50)), flush=True)
        fcntl.flock(lock, fcntl.LOCK_UN)
        for t in adds:
            t.join()
        print(h.count())
    """
    env = {k: v for k, v in os.environ.items() if k != "NIMBREL_MAINT_THREADS"}
    env["RAYON_NUM_THREADS"] = "1"
    try:
        r = subprocess.run([sys.executable, "-c", textwrap.dedent(body), str(tmp_path / "seg")],
                           capture_output=True, text=True, env=env, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("a call waited for a caller slot held by calls waiting on this process's lock")
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["3", "512"]


def test_a_forked_child_builds_searches_and_merges_without_the_pools_threads(tmp_path):
    # A fork keeps the pools' records but none of their threads: the child's
    # calls run on its own thread instead of waiting for threads it lacks.
    body = """
        import os, sys
        import numpy as np, nimbrel
        base = sys.argv[1]
        v = np.random.default_rng(0).normal(size=(2000, 16)).astype(np.float32)
        def work(tag):
            h = nimbrel.ZevireDarir(os.path.join(base, tag), 16)
            h.build(v.tobytes(), 2000, [f"{tag}{i}" for i in range(2000)], ["{}"] * 2000, 16)
            assert len(h.search(v[0].tobytes(), 5, 16, 50)) == 5
            h.calibrate_nprobe(50, 5, 0.9, [4, 16], background=True)
            out = os.path.join(base, tag + "-merged")
            assert nimbrel.merge_segments(out, [os.path.join(base, tag)], [], 0, 0.0, [], None, 2) == (2000, [])
        work("parent")
        pid = os.fork()
        if pid == 0:
            try:
                work("child")
            except BaseException as e:
                print(repr(e), file=sys.stderr)
                os._exit(1)
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """
    try:
        r = subprocess.run([sys.executable, "-c", textwrap.dedent(body), str(tmp_path)],
                           capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        pytest.fail("a forked child waited for the pools' threads")
    assert r.returncode == 0 and r.stdout.split() == ["0"], r.stderr
