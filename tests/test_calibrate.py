"""calibrate_nprobe: the measurement against a plain Python rerun of it, the
edge cases of its contract, and its argument errors."""

import json
import threading

import numpy as np
import pytest

import nimbrel
from conftest import build_segment, random_vectors

LISTS = 40
GRID = [1, 2, 3, 5, 8, 40, 64]  # 64 probes the same 40 lists as 40
MASK = (1 << 64) - 1


def blobs(n, dim, seed):
    """Points around 30 fixed centres; `seed` picks the points."""
    centres = np.random.default_rng(3).normal(size=(30, dim)) * 0.5
    rng = np.random.default_rng(seed)
    return (centres[rng.integers(0, 30, n)] + rng.normal(size=(n, dim))).astype(np.float32)


@pytest.fixture(scope="module")
def seg(tmp_path_factory):
    """Blobs with deleted main rows and added rows, so that the sample
    draws from tombstones and the delta too."""
    vectors = blobs(3000, 16, seed=3)
    h = build_segment(tmp_path_factory.mktemp("cal") / "seg", vectors, n_clusters=LISTS)
    for i in range(0, 3000, 29):
        assert h.delete(f"id{i}")
    for j, v in enumerate(blobs(120, 16, seed=4)):
        h.add(f"new{j}", v.tobytes(), json.dumps({"j": j}))
    h.delete("new5")
    return h


class XorShift64:
    def __init__(self, state):
        self.state = state

    def below(self, n):
        x = self.state
        x ^= (x << 13) & MASK
        x ^= x >> 7
        x ^= (x << 17) & MASK
        self.state = x
        return (x * n) >> 64


def reference_recalls(h, n_samples, k, grid, rerank, seed):
    """The calibration done by hand: the same seeded draw over the live rows
    in row order, each sample's exact answer from a search that probes every
    list and reranks every row, and the mean recall of each grid value."""
    live = h.ids_matching()
    rng = XorShift64(seed ^ 0x9E3779B97F4A7C15)
    m = min(n_samples, len(live))
    for i in range(m):
        j = i + rng.below(len(live) - i)
        live[i], live[j] = live[j], live[i]
    samples = live[:m]
    queries = h.get_vectors(samples)

    def others(hits, own):
        return [i for i, _ in hits if i != own][:k]

    truth = [set(others(h.search(q, k + 1, nprobe=LISTS, rerank=10**9), own))
             for own, q in zip(samples, queries)]
    return {g: float(np.mean([len(set(others(h.search(q, k + 1, nprobe=g, rerank=rerank), own)) & t) / len(t)
                              for own, q, t in zip(samples, queries, truth)]))
            for g in grid}


def test_matches_a_plain_rerun_of_the_measurement(seg):
    for n_samples, k, rerank, seed in [(60, 10, 40, 1234), (45, 3, 200, 7), (30, 1, 10, 0)]:
        means = reference_recalls(seg, n_samples, k, GRID, rerank, seed)
        # Targets between the measured means, away from any of them, pin the
        # whole choice: every grid value gets chosen for some target.
        levels = sorted(set(means.values()))
        targets = [float(np.float32((a + b) / 2)) for a, b in zip(levels, levels[1:])]
        # 1.0 is reached exactly, by 40 and 64 alike: the first one counts.
        targets += [levels[0] - 0.01, levels[-1] + 0.01, 1.0]
        for target in targets:
            want = next((g for g in GRID if means[g] >= target), GRID[-1])
            assert seg.calibrate_nprobe(n_samples, k, target, GRID, rerank=rerank, seed=seed) == want, \
                (n_samples, k, rerank, seed, target, means)


def test_contract_edges_determinism_and_background(seg):
    assert seg.calibrate_nprobe(50, 10, 0.9, []) == 64
    assert seg.calibrate_nprobe(50, 10, 0.9, [32, 8, 32, 16]) in (8, 16, 32)
    assert seg.calibrate_nprobe(50, 10, 2.0, [32, 8, 32, 16]) == 32
    assert seg.calibrate_nprobe(1, 10, 0.0, [32, 8, 32, 16]) == 8
    # No sample measures nothing, and nothing reaches even a zero target.
    assert seg.calibrate_nprobe(0, 10, 0.0, [32, 8, 16]) == 32
    # More samples than live rows: every live row is one.
    assert seg.calibrate_nprobe(10**9, 5, 0.9, [8, 40]) in (8, 40)
    for seed in (0, 1, 1234, 2**64 - 1):
        fg = [seg.calibrate_nprobe(40, 10, t, GRID, rerank=30, seed=seed) for t in (0.6, 0.9, 0.99)]
        assert fg == [seg.calibrate_nprobe(40, 10, t, GRID, rerank=30, seed=seed) for t in (0.6, 0.9, 0.99)]
        assert fg == [seg.calibrate_nprobe(40, 10, t, GRID, rerank=30, seed=seed, background=True)
                      for t in (0.6, 0.9, 0.99)]
    # k 0 is k 1.
    assert seg.calibrate_nprobe(40, 0, 0.95, GRID, seed=5) == seg.calibrate_nprobe(40, 1, 0.95, GRID, seed=5)


def test_chosen_probe_count_holds_on_held_out_queries(seg):
    k, target = 10, 0.75
    chosen = seg.calibrate_nprobe(200, k, target, GRID, rerank=100)
    queries = blobs(300, 16, seed=99)

    def recall(nprobe):
        got = [set(i for i, _ in seg.search(q.tobytes(), k, nprobe=nprobe, rerank=100)) for q in queries]
        want = [set(i for i, _ in seg.search(q.tobytes(), k, nprobe=LISTS, rerank=10**9)) for q in queries]
        return np.mean([len(g & w) / k for g, w in zip(got, want)])

    assert chosen in GRID and chosen < LISTS
    assert recall(chosen) >= target - 0.05
    smaller = [g for g in GRID if g < chosen]
    if smaller:
        assert recall(smaller[-1]) < target + 0.05


def test_segments_with_a_fixed_answer(tmp_path):
    one_list = build_segment(tmp_path / "one", random_vectors(300, 8), n_clusters=1)
    assert one_list.calibrate_nprobe(50, 5, 2.0, [16, 4]) == 4
    few = build_segment(tmp_path / "few", random_vectors(6, 8), n_clusters=3)
    assert few.calibrate_nprobe(50, 5, 2.0, [16, 4]) == 4  # 6 live rows <= k + 1
    assert few.calibrate_nprobe(50, 4, 2.0, [16, 4]) == 16
    for i in range(6):
        few.delete(f"id{i}")
    assert few.calibrate_nprobe(50, 5, 0.0, [16, 4]) == 16  # no live rows


def test_runs_alongside_writes(tmp_path):
    h = build_segment(tmp_path / "seg", random_vectors(2000, 8, seed=1), n_clusters=20)
    results, errors = [], []

    def calibrate():
        try:
            for i in range(10):
                results.append(h.calibrate_nprobe(30, 5, 0.9, [2, 4, 8, 20], background=bool(i % 2)))
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=calibrate) for _ in range(2)]
    for t in threads:
        t.start()
    for i, v in enumerate(random_vectors(300, 8, seed=2)):
        h.add(f"w{i}", v.tobytes())
        h.delete(f"id{i}")
    for t in threads:
        t.join()
    assert not errors and len(results) == 20 and set(results) <= {2, 4, 8, 20}


def test_argument_errors(seg, tmp_path):
    with pytest.raises(OverflowError):
        seg.calibrate_nprobe(-1, 10, 0.9, [8])
    with pytest.raises(OverflowError):
        seg.calibrate_nprobe(10, 10, 0.9, [8, -2])
    with pytest.raises(TypeError, match=r"^argument 'grid': Can't extract `str` to `Vec`$"):
        seg.calibrate_nprobe(10, 10, 0.9, "8")
    with pytest.raises(TypeError, match=r"^argument 'grid': "):
        seg.calibrate_nprobe(10, 10, 0.9, 8)
    with pytest.raises(TypeError, match=r"^argument 'grid': "):
        seg.calibrate_nprobe(10, 10, 0.9, [8, "16"])
    with pytest.raises(TypeError, match=r"^argument 'target_recall': "):
        seg.calibrate_nprobe(10, 10, "high", [8])
    with pytest.raises(TypeError, match=r"^argument 'background': "):
        seg.calibrate_nprobe(10, 10, 0.9, [8], background=1)
    # Keywords, and a grid given as any sequence of ints.
    assert seg.calibrate_nprobe(n_samples=10, k=5, target_recall=0.5, grid=(4, 2), rerank=50, seed=3,
                                background=False) in (2, 4)

    empty = nimbrel.ZevireDarir(str(tmp_path / "none"), 16)
    with pytest.raises(RuntimeError, match=r"^index not built/opened$"):
        empty.calibrate_nprobe(10, 10, 0.9, [])
    with pytest.raises(RuntimeError, match=r"^index not built/opened$"):
        empty.calibrate_nprobe(10, 10, 0.9, [8], background=True)
    with pytest.raises(TypeError):  # arguments are checked before the segment
        empty.calibrate_nprobe(10, 10, 0.9, "8")
