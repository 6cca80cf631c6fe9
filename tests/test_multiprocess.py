"""Readers and writers at once: processes on one directory, threads on one handle.

Four writer processes on disjoint ids, two readers, and a process that
checkpoints and compacts at random moments and rebuilds once, for
NIMBREL_MP_SECONDS (default 15). The final directory, opened fresh, must
hold exactly every writer's acknowledged operations; the readers must never
see a row whose metadata and vector come from different writes, an id
twice, or an error.
"""

import json
import os
import subprocess
import sys
import threading

import nimbrel
from writer_proc import build_base, check_directory, meta_for, read_journal, replay_journal, vector_for

WRITER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "writer_proc.py")
SECONDS = float(os.environ.get("NIMBREL_MP_SECONDS", "15"))
DIM = 16


def start(tmp_path, name, role, *args):
    out = open(tmp_path / f"{name}.stderr", "wb")
    proc = subprocess.Popen([sys.executable, WRITER, role, *map(str, args)], stdin=subprocess.DEVNULL,
                            stdout=out, stderr=out)
    return name, proc, out


def test_concurrent_writers_readers_and_maintenance_lose_and_mix_nothing(tmp_path):
    path = str(tmp_path / "seg")
    expected = build_base(path, DIM, 200)  # rows nobody writes: compaction must carry them over
    journals = [str(tmp_path / f"writer{i}.txt") for i in range(4)]
    for j in journals:
        open(j, "w").close()
    maintenance = str(tmp_path / "maintenance.txt")
    procs = [start(tmp_path, f"writer{i}", "writer", path, DIM, j, i, 100 + i, SECONDS)
             for i, j in enumerate(journals)]
    procs.append(start(tmp_path, "maintainer", "maintainer", path, DIM, maintenance, 7, SECONDS))
    reports = [str(tmp_path / f"reader{i}.json") for i in range(2)]
    procs += [start(tmp_path, f"reader{i}", "reader", path, DIM, r, 200 + i, SECONDS, *journals)
              for i, r in enumerate(reports)]
    failed = []
    for name, proc, out in procs:
        try:
            proc.wait(timeout=SECONDS + 120)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        out.close()
        if proc.returncode != 0:
            failed.append(f"{name} exit {proc.returncode}: {(tmp_path / f'{name}.stderr').read_text()[-3000:]}")
    assert not failed, "\n".join(failed)

    writes = 0
    for j in journals + [maintenance]:
        ops = read_journal(j)
        assert ops[-1][1] == "done" and ops[-1][4] == "A", f"{j} did not finish: {ops[-3:]}"
        expected, in_flight, problems = replay_journal(expected, ops)
        assert in_flight is None and not problems, (j, problems)
        writes += sum(op[1] in ("add", "upsert", "del") for op in ops)
    done = [op[1] for op in read_journal(maintenance)]
    assert done.count("rebuild") == 1 and done.count("compact") >= 2 and done.count("flush") >= 2, done

    problems, _ = check_directory(path, DIM, expected)
    assert not problems, problems

    seen = []
    for r in reports:
        with open(r, encoding="utf-8") as f:
            report = json.load(f)
        assert not report["problems"] and not report["errors"], report
        # The probes must have met rows, or they would prove nothing.
        assert report["found"] > 0 and report["listings"] > 0 and report["opens"] > 0, report
        seen.append(report)
    print(f"{writes} writes, {len(expected)} rows live at the end, maintenance: {done.count('flush')} flushes, "
          f"{done.count('compact')} compactions, 1 rebuild; readers: {seen}")


def test_searches_and_counts_during_upserts_see_each_id_once(tmp_path):
    path = str(tmp_path / "seg")
    build_base(path, DIM, 200)
    h = nimbrel.ZevireDarir(path, DIM)
    h.set_durability(1_000_000)  # no device flush: upserts back to back
    stop = threading.Event()
    seen = []

    def upserts():
        for ver in range(1, 20_001):
            if stop.is_set():
                return
            h.add("b7", vector_for("b7", ver, DIM), meta_for("b7", ver))

    def reads():
        query, only_b7 = vector_for("b7", 0, DIM), json.dumps({"key": "b7"})
        while not stop.is_set():
            hits, count = h.search(query, 5, nprobe=64, filter_json=only_b7), h.count()
            if len(hits) != 1 or count != 200:
                seen.append((hits, count))
                stop.set()

    threads = [threading.Thread(target=upserts)] + [threading.Thread(target=reads) for _ in range(2)]
    for t in threads:
        t.start()
    threads[0].join(timeout=5)
    stop.set()
    for t in threads:
        t.join()
    # An upsert appends the new row and tombstones the old one; a search or
    # count in between would see the id twice, or one row too many.
    assert not seen, seen[:3]
