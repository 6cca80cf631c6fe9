"""A writer process killed at random moments loses and repeats nothing.

The loop itself lives in crash_loop.py (scripts/crash-loop runs it for
longer); here it runs long enough to land kills inside every kind of call.
"""

import json
import os
import struct
import subprocess
import sys
import textwrap

import nimbrel

import crash_loop
from writer_proc import build_base, check_directory, meta_for, vector_for

KILLS = int(os.environ.get("NIMBREL_CRASH_KILLS", "60"))


def test_every_acknowledged_operation_survives_a_sigkill(tmp_path):
    summary = crash_loop.run(str(tmp_path), KILLS, seed=20240601, stop_on_violation=True)
    print(summary.line())
    assert not summary.violations, json.dumps(summary.violations, indent=1)
    assert summary.kills == KILLS
    # The kills must have met the cases that matter: calls that rewrite the
    # directory, writes cut off mid-call, and writes the device never saw.
    assert summary.in_flight["flush"] + summary.in_flight["compact"] + summary.in_flight["rebuild"] > 0
    assert summary.interrupted_writes > 0
    assert summary.not_yet_durable > 0


def test_the_check_notices_lost_unacknowledged_and_mixed_rows(tmp_path):
    path = str(tmp_path / "seg")
    model = build_base(path, 16, 40, n_clusters=2)
    assert check_directory(path, 16, model) == ([], model)

    h = nimbrel.ZevireDarir(path, 16)
    h.add("b1", vector_for("b1", 5, 16), meta_for("b1", 4))  # one write's vector, another's metadata
    h.add("new", vector_for("new", 1, 16), meta_for("new", 1))  # never acknowledged
    h.delete("b2")  # lost
    h.close()
    problems, observed = check_directory(path, 16, {**model, "b1": 4})
    text = " ".join(problems)
    assert observed is None and "row b1 is not whole" in text and "row new is not whole" in text
    assert "missing ['b2']" in text

    # Only the interrupted call may be missing.
    h = nimbrel.ZevireDarir(path, 16)
    h.add("b1", vector_for("b1", 7, 16), meta_for("b1", 7))
    h.delete("new")
    h.close()
    model["b1"] = 7
    without_b2 = {k: v for k, v in model.items() if k != "b2"}
    assert check_directory(path, 16, model, in_flight=("del", "b2", 9)) == ([], without_b2)
    assert check_directory(path, 16, model, in_flight=("del", "b3", 9))[0]
    assert check_directory(path, 16, model)[0]


def test_a_long_log_replays_without_hanging_on_a_segment_with_many_lists(tmp_path):
    """Replay encodes the log's adds in a parallel loop, and the first add
    encoded builds the centroid neighbour lists once, with a parallel loop
    of its own. Built inside the replay loop, a thread waiting for that
    inner loop could pick up another replay task, enter the same
    once-initialisation and wait for itself forever. It takes more than 8
    lists and 64 adds (so that both loops split) and several cores: on 2
    cores this seldom shows within the time given here."""
    path = str(tmp_path / "seg")
    dim, n = 16, 4000
    vectors = b"".join(struct.pack(f"<{dim}f", *vector_for(f"b{i}", 0, dim)) for i in range(n))
    h = nimbrel.ZevireDarir(path, dim)
    h.build(vectors, n, [f"b{i}" for i in range(n)], ["{}"] * n, 256)
    h.set_durability(10_000)
    for i in range(3000):
        h.add(f"a{i}", vector_for(f"a{i}", 1, dim))
    h.close()
    code = textwrap.dedent("""
        import sys, time, nimbrel
        deadline, opened = time.monotonic() + 3, 0
        while time.monotonic() < deadline:
            assert nimbrel.ZevireDarir(sys.argv[1], 16).count() == 7000
            opened += 1
        print(opened)
    """)
    try:
        r = subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True, timeout=20)
    except subprocess.TimeoutExpired:
        raise AssertionError("opening the segment hung: the log's replay deadlocked") from None
    assert r.returncode == 0, r.stderr
