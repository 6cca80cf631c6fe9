"""Several processes writing one segment at once, and what each one sees.

Every process appends to the segment's one log. A handle sees its own
writes at once; another handle sees them after a checkpoint (`flush`,
`compact`, `rebuild` or `build`) changes the directory's generation, or
when it opens the segment afresh.

    python3 examples/two_writers.py
"""
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import nimbrel

DIM, BASE, ADDS = 16, 1000, 200


def writer(path, name):
    """Runs in its own process: adds ADDS rows of its own and deletes one base row."""
    seg = nimbrel.ZevireDarir(path, DIM)  # opens the segment: the view this handle starts from
    print("ready", flush=True)
    sys.stdin.readline()  # wait until both writers hold their view, then write together
    seg.set_durability(50)  # a log flush every 50 operations (sync below makes the rest durable)
    rng = np.random.default_rng(ord(name))
    for i in range(ADDS):
        seg.add(f"{name}-{i}", rng.normal(size=DIM).astype(np.float32), json.dumps({"by": name}))
    deleted = seg.delete(f"base-{ord(name[0])}")
    seg.sync()  # everything this process wrote is durable now
    other = "b" if name == "a" else "a"
    print(json.dumps({
        "name": name,
        "deleted": deleted,
        "own rows seen": seg.count_matching(json.dumps({"by": name})),
        "other's rows seen": seg.count_matching(json.dumps({"by": other})),
        "live rows seen": seg.count_matching(),
    }))


def main():
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "seg")
        vectors = np.random.default_rng(0).normal(size=(BASE, DIM)).astype(np.float32)
        seg = nimbrel.ZevireDarir(path, DIM)
        seg.build(vectors.tobytes(), BASE, [f"base-{i}" for i in range(BASE)],
                  ['{"by": "build"}'] * BASE, 0)
        print(f"built {seg.count_matching()} rows")

        # Two writer processes at the same time, on the same directory.
        procs = [subprocess.Popen([sys.executable, __file__, "writer", path, name],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                 for name in ("a", "b")]
        for proc in procs:
            assert proc.stdout.readline() == "ready\n"
        for proc in procs:
            proc.stdin.write("go\n")
            proc.stdin.flush()
        for proc in procs:
            out, _ = proc.communicate()
            assert proc.returncode == 0
            seen = json.loads(out)
            print(f"writer {seen.pop('name')}: {seen}")

        # This handle was open all along and nothing changed the generation yet.
        print(f"\nthe first handle, before a flush: {seg.count_matching()} live rows")
        fresh = nimbrel.ZevireDarir(path, DIM)  # a new open replays the whole log
        by_a, by_b = (fresh.count_matching(json.dumps({"by": n})) for n in ("a", "b"))
        print(f"a handle opened now: {fresh.count_matching()} live rows, {by_a} by a, {by_b} by b")

        fresh.flush()  # checkpoint: folds the log in and bumps the generation
        # A query looks for a new generation at most every 50 ms per handle,
        # and this handle last looked a moment ago.
        time.sleep(0.1)
        print(f"the first handle, after another handle's flush: {seg.count_matching()} live rows")
        print(f"stats (main, delta, tombstoned): {seg.stats()}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["writer"]:
        writer(sys.argv[2], sys.argv[3])
    else:
        main()
