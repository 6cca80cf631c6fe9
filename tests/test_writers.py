"""Seeing the segments other handles, threads and processes write."""

import fcntl
import os
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import nimbrel
from conftest import build_segment, ids_of, random_vectors, run_python

PROBE_EXPIRED = 0.06  # the generation file is re-read at most every 50 ms


def test_another_handles_build_is_picked_up_by_the_staleness_check_not_by_status_readers(seg_path):
    vectors = random_vectors(200, 8, seed=1)
    reader = build_segment(seg_path, vectors, n_clusters=4)
    build_segment(seg_path, vectors[:150], ids=[f"new{i}" for i in range(150)], n_clusters=4)
    time.sleep(PROBE_EXPIRED)
    before = nimbrel.ivf_open_count()
    assert reader.count() == 200
    assert reader.format_version() == (3, 3)  # goes through the staleness check
    assert reader.count() == 150
    assert ids_of(reader.search(vectors[9].tolist(), 1, nprobe=4)) == ["new9"]
    assert nimbrel.ivf_open_count() == before + 1  # one reload, then served from the held segment


def test_a_segment_of_another_dim_built_later_is_refused_not_served(seg_path):
    h4 = nimbrel.ZevireDarir(seg_path, 4)
    h8 = build_segment(seg_path, random_vectors(50, 8))
    with pytest.raises(ValueError, match=r"^dim mismatch: opened with dim=4 but the index at .* was built with dim=8$"):
        h4.search([0.0] * 4, 3)
    h4.build(random_vectors(30, 4).tobytes(), 30, [str(i) for i in range(30)], ["{}"] * 30, 2)
    time.sleep(PROBE_EXPIRED)
    with pytest.raises(ValueError, match=r"^dim mismatch: opened with dim=8 "):
        h8.search([0.0] * 8, 3)
    assert len(h4.search([0.0] * 4, 3)) == 3


def test_a_build_in_another_process_is_seen_by_loaded_and_empty_handles(seg_path):
    empty = nimbrel.ZevireDarir(seg_path, 8)
    vectors = random_vectors(200, 8, seed=1)
    h = build_segment(seg_path, vectors, n_clusters=4)
    generation = run_python("""
        import sys
        import numpy as np
        import nimbrel
        v = np.random.default_rng(9).standard_normal((120, 8)).astype(np.float32)
        h = nimbrel.ZevireDarir(sys.argv[1], 8)
        h.build(v.tobytes(), 120, [f"other{i}" for i in range(120)], ["null"] * 120, 3)
        print(open(sys.argv[1] + "/generation", "rb").read().hex())
    """, seg_path)
    assert generation == (1).to_bytes(8, "little").hex()
    time.sleep(PROBE_EXPIRED)
    hits = h.search(vectors[0].tolist(), 5, nprobe=3)
    assert len(hits) == 5 and all(i.startswith("other") for i in ids_of(hits))
    assert h.count() == 120
    assert empty.count() == 0  # status readers never open
    assert all(i.startswith("other") for i in ids_of(empty.search([0.0] * 8, 3, nprobe=2)))
    assert empty.count() == 120


def test_searches_keep_working_while_the_segment_is_rebuilt_underneath(tmp_path, seg_path):
    vectors = random_vectors(400, 8, seed=5)
    build_segment(seg_path, vectors, n_clusters=6)
    reader = nimbrel.ZevireDarir(seg_path, 8)
    stop = threading.Event()

    def search_loop():
        while not stop.is_set():
            assert len(reader.search(vectors[11].tolist(), 4, nprobe=6)) == 4

    with ThreadPoolExecutor(4) as pool:
        loops = [pool.submit(search_loop) for _ in range(4)]
        try:
            for round_no in range(4):
                build_segment(seg_path, vectors, 6, ids=[f"r{round_no}_{i}" for i in range(400)])
        finally:
            stop.set()
    for loop in loops:
        loop.result()  # re-raises a failed search
    time.sleep(PROBE_EXPIRED)
    assert reader.search(vectors[11].tolist(), 1, nprobe=6)[0][0] == "r3_11"
    assert sorted(os.listdir(tmp_path)) == ["seg", "seg.lock"]  # nothing left of the swaps


def test_a_query_waits_for_a_writer_holding_the_directory_lock_and_opens_what_it_left(tmp_path):
    path = str(tmp_path / "seg")
    vectors = random_vectors(60, 8, seed=4)
    build_segment(tmp_path / "staging", vectors).close()
    h = nimbrel.ZevireDarir(path, 8)  # no segment yet
    # A writer in the middle of a swap: exclusive lock held, no live manifest yet.
    with ThreadPoolExecutor(1) as pool, open(path + ".lock", "r+b") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        query = pool.submit(h.search, vectors[5].tolist(), 1, nprobe=2)
        time.sleep(0.3)
        assert not query.done()
        os.rename(tmp_path / "staging", path)
        fcntl.flock(lock, fcntl.LOCK_UN)
        assert ids_of(query.result()) == ["id5"]



def test_a_handle_sees_its_own_writes_at_once_while_another_thread_closes_it(seg_path):
    # A write that took the segment just before close() must still land in
    # what the handle holds next, though another thread reopens meanwhile.
    vectors = random_vectors(300, 8, seed=6)
    h = build_segment(seg_path, vectors, n_clusters=4)
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # threads interleave at every step, not every 5 ms
    stop = threading.Event()
    added, deleted, faults, fresh = [], [], [], []

    def adder(t):
        for i in range(150):
            rid = f"add{t}_{i}"
            h.add(rid, vectors[i].tolist())
            added.append(rid)
            if h.has_ids([rid]) != [True]:
                faults.append(("added, not visible", rid))
            fresh.append(rid)

    def deleter():
        for i in range(300):
            rid = fresh.pop() if fresh and i % 2 else f"id{i}"  # just added, or built
            if not h.delete(rid):
                faults.append(("live, not deleted", rid))
                continue
            deleted.append(rid)
            if h.has_ids([rid]) != [False]:
                faults.append(("deleted, still live", rid))

    def closer():
        while not stop.is_set():
            h.close()

    try:
        with ThreadPoolExecutor(4) as pool:
            closing = pool.submit(closer)
            try:
                for w in [pool.submit(adder, 0), pool.submit(adder, 1), pool.submit(deleter)]:
                    w.result()
            finally:
                stop.set()
            closing.result()
    finally:
        sys.setswitchinterval(switch)
    assert faults == []
    live = ({f"id{i}" for i in range(300)} | set(added)) - set(deleted)
    on_disk = nimbrel.ZevireDarir(seg_path, 8)
    assert on_disk.count() == len(live)
    assert on_disk.has_ids(sorted(live) + deleted) == [True] * len(live) + [False] * len(deleted)
