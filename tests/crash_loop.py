"""Kill a writer process at random moments and check what survives.

A writer child (writer_proc.py crash-writer) runs random adds, upserts and
deletes under every group-commit setting, with sync, flush, compact and
rebuild mixed in, journaling each call before it starts and after it
returns. The parent SIGKILLs it, opens the directory in a new process and
compares it with the journal. The directory carries over to the next
writer, so the state accumulates across kills; after some kills the next
writer, not the check, is the first to open it (and recover it).

A SIGKILL ends the process but not the kernel: whatever the process wrote
into the page cache reaches the file. So, whatever the group-commit
setting, every operation the process saw return must be in the directory,
not only the ones a device flush already covered. Only the one operation
the kill interrupted may be either applied or not.
"""

import collections
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time

from writer_proc import DATA_KINDS, MAINTENANCE, build_base, read_journal, replay_journal

WRITER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "writer_proc.py")
DIM = 16
BASE_ROWS = 200
EXTRA_NAMES = 500
TARGET_LIVE = 300

# How long after a call starts to kill: calls of these kinds take about
# this long here, so most kills land inside them.
KILL_WINDOW = {"flush": 0.004, "compact": 0.02, "rebuild": 0.02, "sync": 0.003}


class Summary:
    def __init__(self):
        self.kills = 0
        self.checks = 0
        self.violations = []
        self.acked = 0
        self.not_yet_durable = 0
        self.in_flight = collections.Counter()
        self.interrupted_writes = 0
        self.interrupted_applied = 0
        self.started = time.monotonic()

    def line(self):
        flight = ", ".join(f"{k} {n}" for k, n in sorted(self.in_flight.items()))
        return (f"crash-loop: {self.kills} kills, {self.checks} checks, {len(self.violations)} violations; "
                f"{self.acked} acknowledged ops checked ({self.not_yet_durable} not yet flushed to the device "
                f"when killed); in flight at the kill: {flight}; {self.interrupted_applied} of "
                f"{self.interrupted_writes} interrupted writes applied; {time.monotonic() - self.started:.1f}s")


def durable_by_rule(ops):
    """How many acknowledged writes were not yet durable at the kill.

    Flushed to the device: at interval 1 when acknowledged; else once a
    later sync, flush, compact, rebuild, or an interval-1 write (its flush
    covers the whole log) returned."""
    mode, pending = "i1", 0
    for _, kind, _, _, status, result in ops:
        if status != "A":
            continue
        if kind == "mode":
            mode = result
        elif kind in MAINTENANCE or (kind in ("add", "upsert", "del") and mode == "i1"):
            pending = 0
        elif kind in ("add", "upsert", "del"):
            pending += 1
    return pending


def kill_at_random(proc, journal, rng):
    """Waits for a random moment of the child's run and SIGKILLs it.

    Returns False if the child had already ended by itself."""
    strategy = rng.choices(("early", "anytime", "maintenance", "write"), weights=(1, 4, 4, 1))[0]
    if strategy == "early":  # inside start-up, the constructor's recovery and replay
        time.sleep(rng.uniform(0.0, 0.06))
    elif strategy == "anytime":
        time.sleep(rng.uniform(0.02, 0.4))
    else:
        wanted = MAINTENANCE if strategy == "maintenance" else DATA_KINDS
        deadline = time.monotonic() + 1.5
        offset, buffered = 0, b""
        fd = os.open(journal, os.O_RDONLY | os.O_CREAT, 0o644)
        try:
            while time.monotonic() < deadline and proc.poll() is None:
                chunk = os.pread(fd, 1 << 16, offset)
                offset += len(chunk)
                buffered += chunk
                *lines, buffered = buffered.split(b"\n")
                starts = [line.split(b" ")[2].decode() for line in lines if line.startswith(b"B ")]
                hit = next((k for k in starts if k in wanted), None)
                if hit:
                    time.sleep(rng.uniform(0.0, KILL_WINDOW.get(hit, 0.002)))
                    break
                time.sleep(0.0003)
        finally:
            os.close(fd)
    if proc.poll() is not None:
        return False
    os.kill(proc.pid, signal.SIGKILL)
    proc.wait()
    return True


def check(workdir, path, expected, in_flight, timeout=20):
    """check_directory in a process of its own: an open that hangs is a
    finding, not a stuck loop. Returns (problems, observed)."""
    case, out = os.path.join(workdir, "case.json"), os.path.join(workdir, "checked.json")
    with open(case, "w", encoding="utf-8") as f:
        json.dump({"expected": expected, "in_flight": in_flight}, f)
    if os.path.exists(out):
        os.unlink(out)
    try:
        r = subprocess.run([sys.executable, WRITER, "check", path, str(DIM), case, out],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return [f"opening and checking the directory hung (no answer in {timeout}s)"], None
    if r.returncode != 0:
        return [f"the check process failed (exit {r.returncode}): {r.stderr[-2000:]}"], None
    with open(out, encoding="utf-8") as f:
        result = json.load(f)
    return result["problems"], result["observed"]


def check_and_judge(workdir, path, round_no, expected, in_flight, problems, journal, summary):
    """Checks the directory after a kill and records what went wrong.

    Returns the state to carry on from, or None when it is unknown or a
    violation was found."""
    found, observed = check(workdir, path, expected, in_flight)
    if observed is None and len(found) == 1 and "hung" in found[0]:
        # A hang depends on thread timing: one more try tells whether the
        # directory itself is sound, and lets the loop carry on with it.
        again, observed = check(workdir, path, expected, in_flight)
        found += again
    problems = problems + found
    if in_flight and in_flight[0] in ("add", "upsert", "del") and observed is not None:
        summary.interrupted_writes += 1
        summary.interrupted_applied += observed != expected
    if not problems:
        return observed
    kept = None
    if len(summary.violations) < 3:  # the directory after the check, and the journal, for whoever investigates
        kept = os.path.join(workdir, f"violation-{round_no}")
        shutil.copytree(path, kept, dirs_exist_ok=True)
        if os.path.exists(journal):
            shutil.copy(journal, kept + ".journal")
    summary.violations.append({"round": round_no, "in_flight": in_flight, "problems": problems, "kept": kept})
    return observed


def run(workdir, kills, seed=0, rebuild_lists=(None, 4, 8, 16), stop_on_violation=False, progress=None):
    """Runs `kills` kill-and-check rounds in `workdir`; returns a Summary.

    `rebuild_lists`: the list counts the writer's rebuilds choose from (None:
    the default, sqrt of the live rows)."""
    rng = random.Random(seed)
    path = os.path.join(workdir, "seg")
    journal = os.path.join(workdir, "journal.txt")
    state_file = os.path.join(workdir, "state.json")
    stderr_file = os.path.join(workdir, "writer.stderr")
    names = [f"b{i}" for i in range(BASE_ROWS)] + [f"n{i}" for i in range(EXTRA_NAMES)]
    model = build_base(path, DIM, BASE_ROWS)
    next_ver = 1
    summary = Summary()
    for round_no in range(kills):
        with open(state_file, "w", encoding="utf-8") as f:
            json.dump({"live": model, "names": names, "next_ver": next_ver, "target_live": TARGET_LIVE,
                       "rebuild_lists": list(rebuild_lists)}, f)
        if os.path.exists(journal):
            os.unlink(journal)
        with open(stderr_file, "wb") as err:
            proc = subprocess.Popen([sys.executable, WRITER, "crash-writer", path, str(DIM), journal, state_file,
                                     str(rng.randrange(2**32))], stdin=subprocess.DEVNULL, stderr=err)
            killed = kill_at_random(proc, journal, rng)
        ops = read_journal(journal) if os.path.exists(journal) else []
        expected, in_flight, problems = replay_journal(model, ops)
        if not killed:
            with open(stderr_file, encoding="utf-8", errors="replace") as f:
                problems.append(f"the writer ended by itself (exit {proc.returncode}): {f.read()[-2000:]}")
        summary.kills += killed
        summary.acked += sum(1 for op in ops if op[4] == "A" and op[1] in DATA_KINDS)
        summary.not_yet_durable += durable_by_rule(ops)
        summary.in_flight[in_flight[0] if in_flight else "none"] += 1
        next_ver = max([next_ver] + [op[3] + 1 for op in ops])

        # Now and then, when the state is known exactly, the next writer is
        # the first to open the directory: it, not the check, then recovers
        # from this kill (and may be killed while doing so).
        last = round_no == kills - 1
        if problems or last or (in_flight and in_flight[0] in DATA_KINDS) or rng.random() >= 0.25:
            summary.checks += 1
            model = check_and_judge(workdir, path, round_no, expected, in_flight, problems, journal, summary)
            if summary.violations and stop_on_violation:
                break
            if model is None:
                model = build_base(path, DIM, BASE_ROWS)  # rows of unknown content: start again
        else:
            model = expected
        if progress and (round_no + 1) % progress == 0:
            print(summary.line(), flush=True)
    return summary
