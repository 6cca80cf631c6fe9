"""The maintenance pool, seen from outside: its size and worker names (read
from /proc while background calibrations run in a fresh process), when it
is built, and how it lives with a capped shared pool."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import build_segment, random_vectors

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="reads thread names from /proc")

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

def settle():
    # Workers give their names back when they leave the idle arena.
    deadline = time.monotonic() + 10
    while names() and time.monotonic() < deadline:
        time.sleep(0.01)
    return names()

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
    return sorted(f"nimbrel-maint-{i}" for i in range(n))


@pytest.mark.parametrize("rayon, setting, workers", [
    ("8", None, 4), ("8", " 6 ", 6), ("8", "+3", 3),
    ("8", "0", 4), ("8", "-2", 4), ("8", "six", 4), ("8", "6x", 4), ("8", "", 4),
    # The workers come out of the shared pool's, whose cap leaves room for
    # one beside the caller, or for none.
    ("2", "6", 1), ("1", None, 0),
])
def test_size_names_and_cap(seg_dir, rayon, setting, workers):
    env = {"RAYON_NUM_THREADS": rayon}
    if setting is not None:
        env["NIMBREL_MAINT_THREADS"] = setting
    seen, results, left = run_child(seg_dir, f"""
        seen, results = watch(h, set({maint(workers)!r}))
        print(json.dumps([sorted(seen), sorted(set(results)), sorted(settle())]))
    """, env)
    assert seen == maint(workers)
    # Whichever threads ran it, the answer is the single-threaded one.
    assert results == [seg_dir[1]]
    assert left == []


def test_built_on_first_background_use_and_never_again(seg_dir):
    seen, later, foreground = run_child(seg_dir, """
        # Neither the import nor a foreground calibration builds the pool:
        # the setting made after them still counts.
        h.calibrate_nprobe(100, 10, 0.99, GRID)
        os.environ["NIMBREL_MAINT_THREADS"] = "2"
        seen, _ = watch(h, {"nimbrel-maint-0", "nimbrel-maint-1"})
        settle()
        os.environ["NIMBREL_MAINT_THREADS"] = "5"
        later, _ = watch(h, {"nimbrel-maint-0", "nimbrel-maint-1"})
        settle()
        # A foreground calibration's loops stay off the maintenance pool.
        foreground, _ = watch(h, set(), background=False)
        print(json.dumps([sorted(seen), sorted(later), sorted(foreground)]))
    """, {"RAYON_NUM_THREADS": "8"})
    assert seen == later == maint(2)
    assert foreground == []
