"""Processes that write to and read from one segment directory, and the
check of a directory against the operations they acknowledged.

Run as a script, it is one of those processes:

    writer_proc.py crash-writer PATH DIM JOURNAL STATE_JSON SEED
    writer_proc.py writer       PATH DIM JOURNAL WRITER_NO SEED SECONDS
    writer_proc.py reader       PATH DIM OUT_JSON SEED SECONDS JOURNAL...
    writer_proc.py maintainer   PATH DIM JOURNAL SEED SECONDS
    writer_proc.py check        PATH DIM CASE_JSON OUT_JSON

Rows are self-describing: version `ver` of row `id` has the vector
`vector_for(id, ver)` and the metadata {"key": id, "ver": ver}, so a search
with that vector and that metadata as the filter finds the row at distance
~0 exactly when its vector and metadata belong to the same write.

Journals are text files of one line per event, each written with a single
unbuffered write (a kill cannot leave half a line):

    B seq kind id ver    the process is about to call the operation
    A seq result         the call returned (acknowledged)
    X seq message        the call raised
"""

import json
import math
import os
import random
import struct
import sys
import time

import nimbrel

MODES = ("i1", "i10", "ms5")  # flush every op; every 10th op; at most every 5 ms
DATA_KINDS = ("add", "upsert", "del", "delx")  # delx: delete of an id with no live row
MAINTENANCE = ("sync", "flush", "compact", "rebuild")


# ---- rows ---------------------------------------------------------------------


def vector_for(row_id, ver, dim):
    r = random.Random(f"{row_id}/{ver}")
    return [r.gauss(0.0, 1.0) for _ in range(dim)]


def meta_for(row_id, ver):
    return json.dumps({"key": row_id, "ver": ver})


def tolerance(vector):
    """Bound on the squared distance between a vector and its 8-bit copy.

    Each component is rounded to a step of s/127, s the power of two at or
    above the largest |component|: an error of at most s/254 each. Twice
    that per component leaves a margin and is still far below the distance
    between two different versions (~2 * dim)."""
    s = 2.0 ** math.ceil(math.log2(max(abs(x) for x in vector)))
    return len(vector) * (s / 127) ** 2


def build_base(path, dim, n, n_clusters=8):
    """Builds `n` rows b0.. at version 0; returns their {id: ver}."""
    ids = [f"b{i}" for i in range(n)]
    vectors = b"".join(struct.pack(f"<{dim}f", *vector_for(i, 0, dim)) for i in ids)
    h = nimbrel.ZevireDarir(path, dim)
    h.build(vectors, n, ids, [meta_for(i, 0) for i in ids], n_clusters)
    h.close()
    return {i: 0 for i in ids}


def row_is_whole(h, row_id, ver, dim):
    v = vector_for(row_id, ver, dim)
    hits = h.search(v, 2, nprobe=1024, filter_json=meta_for(row_id, ver))
    return len(hits) == 1 and hits[0][0] == row_id and hits[0][1] <= tolerance(v), hits


def check_directory(path, dim, expected, in_flight=None):
    """Opens `path` with a new handle and compares it with `expected` ({id: ver}).

    `in_flight` is the one operation that was running when its process was
    killed, (kind, id, ver): it may have been applied or not. Returns
    (problems, observed), observed being the {id: ver} the directory holds
    (None when it could not be determined)."""
    problems = []
    try:
        h = nimbrel.ZevireDarir(path, dim)
    except Exception as e:  # noqa: BLE001 - any failure to open is the finding
        return [f"the directory does not open: {type(e).__name__}: {e}"], None
    try:
        parent, name = os.path.split(path)
        left = [s for s in (".compacting", ".old", ".broken") if os.path.exists(os.path.join(parent, name + s))]
        left += [f for f in os.listdir(path) if f.endswith(".writing.tmp")]
        if left:
            problems.append(f"left behind after the open's recovery: {left}")

        alternatives = [dict(expected)]
        if in_flight is not None and in_flight[0] in DATA_KINDS:
            kind, row_id, ver = in_flight
            applied = dict(expected)
            if kind in ("add", "upsert"):
                applied[row_id] = ver
            else:
                applied.pop(row_id, None)
            if applied != expected:
                alternatives.append(applied)

        listing = [i for i, _ in h.search([0.0] * dim, 1_000_000, nprobe=1_000_000, ensure_target_k=True)]
        live = set(listing)
        if len(live) != len(listing):
            twice = sorted({i for i in listing if listing.count(i) > 1})
            problems.append(f"ids listed more than once: {twice[:10]}")
        main, delta, tombstoned = h.stats()
        if h.count() != len(live) or main + delta - tombstoned != len(live):
            problems.append(f"count() {h.count()} and stats() {(main, delta, tombstoned)} disagree with the "
                            f"{len(live)} distinct live ids")

        observed = {}
        for row_id in sorted(live):
            candidates = {alt[row_id] for alt in alternatives if row_id in alt}
            for ver in sorted(candidates):
                whole, hits = row_is_whole(h, row_id, ver, dim)
                if whole:
                    observed[row_id] = ver
                    break
            else:
                observed[row_id] = None
                details = {ver: row_is_whole(h, row_id, ver, dim)[1] for ver in candidates}
                problems.append(f"row {row_id} is not whole at any expected version: {details or 'unexpected id'}")
        if observed not in alternatives:
            want = alternatives[0]
            missing = sorted(set(want) - set(observed))[:10]
            extra = sorted(set(observed) - set(want))[:10]
            wrong = sorted((i, observed[i], want[i]) for i in set(want) & set(observed)
                           if observed[i] != want[i])[:10]
            problems.append(f"state differs from the acknowledged operations (in flight: {in_flight}): "
                            f"missing {missing}, unexpected {extra}, (id, seen, acknowledged) {wrong}")
        ok, messages = h.verify_integrity()
        if not ok:
            problems.append(f"verify_integrity: {messages}")
        return problems, (observed if None not in observed.values() else None)
    finally:
        h.close()


# ---- journals -------------------------------------------------------------------


class Journal:
    def __init__(self, path):
        self.fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        self.seq = 0

    def begin(self, kind, row_id="-", ver=0):
        self.seq += 1
        os.write(self.fd, f"B {self.seq} {kind} {row_id} {ver}\n".encode())

    def ack(self, result="-"):
        os.write(self.fd, f"A {self.seq} {result}\n".encode())

    def failed(self, exc):
        text = f"{type(exc).__name__}: {exc}".replace("\n", " | ")
        os.write(self.fd, f"X {self.seq} {text}\n".encode())


def read_journal(path):
    """[(seq, kind, id, ver, status, result)] in order; status 'A' (returned),
    'X' (raised) or None (no answer: the process died inside the call)."""
    ops = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if not line.endswith("\n"):
                break
            tag, seq, rest = line.rstrip("\n").split(" ", 2)
            if tag == "B":
                kind, row_id, ver = rest.split(" ")
                ops[int(seq)] = [int(seq), kind, row_id, int(ver), None, None]
            else:
                ops[int(seq)][4:] = [tag, rest]
    return list(ops.values())


def replay_journal(model, ops):
    """The model after the acknowledged ops, the interrupted op, and the
    journal's own complaints (calls that raised, wrong delete answers)."""
    expected = dict(model)
    in_flight, problems = None, []
    for seq, kind, row_id, ver, status, result in ops:
        if status is None:
            in_flight = (kind, row_id, ver)
            if seq != ops[-1][0]:
                problems.append(f"journal: call {seq} ({kind}) never returned but later ones ran")
        elif status == "X":
            problems.append(f"{kind} {row_id} raised: {result}")
        elif kind in ("add", "upsert"):
            expected[row_id] = ver
        elif kind in ("del", "delx"):
            if result != str(kind == "del"):
                problems.append(f"delete({row_id!r}) of a {'live' if kind == 'del' else 'dead'} id "
                                f"returned {result}")
            expected.pop(row_id, None)
    return expected, in_flight, problems


def set_mode(h, mode):
    if mode == "ms5":
        h.set_wal_sync_ms(5)
    else:
        h.set_wal_sync_ms(0)
        h.set_durability(1 if mode == "i1" else 10)


def run_op(h, journal, kind, row_id="-", ver=0, dim=0, arg=None):
    """Logs, runs and acknowledges one operation; returns its result."""
    journal.begin(kind, row_id, ver)
    try:
        if kind in ("add", "upsert"):
            result = h.add(row_id, vector_for(row_id, ver, dim), meta_for(row_id, ver))
        elif kind in ("del", "delx"):
            result = h.delete(row_id)
        elif kind == "mode":
            result = set_mode(h, arg)
        elif kind == "rebuild":
            result = h.rebuild(arg)
        else:
            result = getattr(h, kind)()
    except Exception as e:
        journal.failed(e)
        raise
    journal.ack(result if kind != "mode" else arg)
    return result


def pick_data_op(rng, live, names, target_live):
    """One random add of a new id, upsert, delete, or delete of a dead id."""
    dead = [i for i in names if i not in live]
    r = rng.random()
    if live and r < (0.30 if len(live) > target_live else 0.15):
        return "del", rng.choice(sorted(live))
    if r < 0.20:
        return "delx", rng.choice(dead) if dead and rng.random() < 0.8 else f"never{rng.randrange(10**6)}"
    if dead and (r < 0.60 or not live):
        return "add", rng.choice(dead)
    return "upsert", rng.choice(sorted(live))


# ---- processes ------------------------------------------------------------------


def crash_writer(path, dim, journal_path, state_path, seed):
    """Runs random operations until killed. The state file gives the ids
    live now, their versions, every id it may use and the next version."""
    with open(state_path, encoding="utf-8") as f:
        state = json.load(f)
    live, names, ver = state["live"], state["names"], state["next_ver"]
    rng = random.Random(seed)
    journal = Journal(journal_path)
    journal.begin("open")
    h = nimbrel.ZevireDarir(path, dim)
    journal.ack()
    run_op(h, journal, "mode", arg=rng.choice(MODES))
    next_maintenance = time.monotonic() + rng.uniform(0.0, 0.08)
    while True:
        if rng.random() < 0.02:
            run_op(h, journal, "mode", arg=rng.choice(MODES))
        if time.monotonic() >= next_maintenance:
            kind = rng.choices(MAINTENANCE, weights=(2, 3, 3, 2))[0]
            arg = rng.choice(state["rebuild_lists"]) if kind == "rebuild" else None
            run_op(h, journal, kind, arg=arg)
            next_maintenance = time.monotonic() + rng.uniform(0.01, 0.1)
            continue
        kind, row_id = pick_data_op(rng, live, names, state["target_live"])
        ver += 1
        run_op(h, journal, kind, row_id, ver, dim)  # the parent judges delete's answer from the journal
        if kind in ("add", "upsert"):
            live[row_id] = ver
        else:
            live.pop(row_id, None)


def writer(path, dim, journal_path, writer_no, seed, seconds):
    """Random operations on ids of its own (w<no>_<j>) for `seconds`."""
    rng = random.Random(seed)
    names = [f"w{writer_no}_{j}" for j in range(120)]
    live = {}
    journal = Journal(journal_path)
    h = nimbrel.ZevireDarir(path, dim)
    ver = 0
    deadline = time.monotonic() + seconds
    run_op(h, journal, "mode", arg=rng.choice(MODES))
    while time.monotonic() < deadline:
        r = rng.random()
        if r < 0.01:
            run_op(h, journal, "mode", arg=rng.choice(MODES))
        elif r < 0.015:
            run_op(h, journal, "sync")
        else:
            kind, row_id = pick_data_op(rng, live, names, 80)
            ver += 1
            run_op(h, journal, kind, row_id, ver, dim)  # the test judges delete's answer from the journal
            if kind in ("add", "upsert"):
                live[row_id] = ver
            else:
                live.pop(row_id, None)
            if kind == "add" and rng.random() < 0.5:
                time.sleep(0.001)  # let the other processes in
    journal.begin("done")
    journal.ack()


def maintainer(path, dim, journal_path, seed, seconds):
    """flush and compact at random moments, and one rebuild halfway."""
    rng = random.Random(seed)
    journal = Journal(journal_path)
    h = nimbrel.ZevireDarir(path, dim)
    start = time.monotonic()
    rebuilt = False
    while time.monotonic() - start < seconds:
        time.sleep(rng.uniform(0.1, 0.6))
        if not rebuilt and time.monotonic() - start > seconds / 2:
            run_op(h, journal, "rebuild", arg=6)
            rebuilt = True
        else:
            run_op(h, journal, rng.choice(("flush", "compact")))
    journal.begin("done")
    journal.ack()


def reader(path, dim, out_path, seed, seconds, journals):
    """Searches while the others write; records what it saw to `out_path`.

    Probes versions that the writers acknowledged: a probe by a version's
    vector, filtered on that version's metadata, must find nothing (the row
    is at another version, or the reader's view is older) or the row at
    distance ~0. A row found farther away pairs the metadata of one write
    with the vector of another: a half-applied upsert."""
    rng = random.Random(seed)
    seen = []  # (id, ver) of acknowledged adds, from every journal
    offsets = dict.fromkeys(journals, 0)
    report = {"probes": 0, "found": 0, "listings": 0, "opens": 0, "problems": [], "errors": []}
    deadline = time.monotonic() + seconds
    h = nimbrel.ZevireDarir(path, dim)
    next_open = time.monotonic() + 1.0
    while time.monotonic() < deadline:
        for j in journals:
            with open(j, encoding="utf-8") as f:
                f.seek(offsets[j])
                text = f.read()
            text = text[:text.rfind("\n") + 1]
            offsets[j] += len(text.encode())
            for line in text.splitlines():
                parts = line.split(" ")
                if parts[0] == "B" and parts[2] in ("add", "upsert"):
                    seen.append((parts[3], int(parts[4])))
        try:
            if time.monotonic() >= next_open:
                # A new handle goes through the constructor's recovery and open.
                h.close()
                h = nimbrel.ZevireDarir(path, dim)
                report["opens"] += 1
                next_open = time.monotonic() + 1.0
            if rng.random() < 0.1:
                listing = [i for i, _ in h.search([0.0] * dim, 1_000_000, nprobe=1024, ensure_target_k=True)]
                report["listings"] += 1
                if len(set(listing)) != len(listing):
                    report["problems"].append(f"a listing holds an id twice: "
                                              f"{sorted({i for i in listing if listing.count(i) > 1})[:5]}")
            for row_id, ver in rng.sample(seen[-3000:], min(20, len(seen))):
                v = vector_for(row_id, ver, dim)
                report["probes"] += 1
                hits = h.search(v, 3, nprobe=1024, filter_json=meta_for(row_id, ver))
                if hits:
                    report["found"] += 1
                if hits and (len(hits) != 1 or hits[0][0] != row_id or hits[0][1] > tolerance(v)):
                    report["problems"].append(f"{row_id} version {ver} found as {hits}")
                hits = h.search(v, 5, nprobe=1024, filter_json=json.dumps({"key": row_id}))
                if len(hits) > 1:
                    report["problems"].append(f"{row_id} found {len(hits)} times: {hits}")
        except Exception as e:  # noqa: BLE001 - every error is reported to the test
            report["errors"].append(f"{type(e).__name__}: {e}")
            time.sleep(0.01)
    with open(out_path, "w", encoding="utf-8") as f:
        json.dump(report, f)


if __name__ == "__main__":
    role, path, dim, *rest = sys.argv[1:]
    dim = int(dim)
    if role == "crash-writer":
        crash_writer(path, dim, rest[0], rest[1], int(rest[2]))
    elif role == "writer":
        writer(path, dim, rest[0], int(rest[1]), int(rest[2]), float(rest[3]))
    elif role == "maintainer":
        maintainer(path, dim, rest[0], int(rest[1]), float(rest[2]))
    elif role == "reader":
        reader(path, dim, rest[0], int(rest[1]), float(rest[2]), rest[3:])
    elif role == "check":
        with open(rest[0], encoding="utf-8") as f:
            case = json.load(f)
        in_flight = tuple(case["in_flight"]) if case["in_flight"] else None
        found, observed = check_directory(path, dim, case["expected"], in_flight)
        with open(rest[1], "w", encoding="utf-8") as f:
            json.dump({"problems": found, "observed": observed}, f)
    else:
        raise SystemExit(f"unknown role {role!r}")
