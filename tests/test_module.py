"""Module contents, method table, signatures and the module functions."""

import inspect
import os

import pytest

import nimbrel
from conftest import build_segment, ids_of, random_vectors, run_python


def test_the_module_lists_its_names_methods_and_signatures_in_registration_order():
    assert nimbrel.__all__ == ["ZevireDarir", "merge_segments", "slot_space_ok", "ivf_open_count", "set_residency",
                               "scan_json_chunk", "scan_json_text", "scan_json_texts"]
    assert [n for n in vars(nimbrel.ZevireDarir) if not n.startswith("__")] == [
        "build", "search", "calibrate_nprobe", "add", "search_hybrid", "sparse_search", "delete", "flush", "compact", "rebuild", "count", "stats",
        "fit_count", "get_meta", "get_meta_bounded", "has_ids", "get_vectors", "get_sparse",
        "quant_scale", "format_version", "pca_basis", "ids_matching", "count_matching",
        "aggregate_by_ids", "exists_matching", "set_durability", "set_wal_sync_ms", "wal_sync_count",
        "sync", "close",
        "verify_integrity", "ids_matching_limit", "distances_to_many", "nmql_fuse",
        "meta_status_across", "meta_status_columns"]
    signatures = {
        nimbrel.ZevireDarir: "(path, dim, n_bits=2, skip_fields=None)",
        nimbrel.ZevireDarir.search: "(self, /, query, k, nprobe=32, rerank=400, filter_json=None, "
                                    "ensure_target_k=False)",
        nimbrel.ZevireDarir.build: "(self, /, vectors, n, ids, metadatas, n_clusters, seed=42, "
                                   "sparse=None, skip_index=None, pca=None, quant_scale=0.0)",
        nimbrel.ZevireDarir.add: "(self, /, id, vector, metadata=None, sparse=None)",
        nimbrel.ZevireDarir.search_hybrid: "(self, /, query, sparse_query, k, nprobe=64, rerank=500, "
                                           "filter_json=None, rrf_k=60.0, ensure_target_k=False)",
        nimbrel.ZevireDarir.sparse_search: "(self, /, sparse_query, k, filter_json=None)",
        nimbrel.ZevireDarir.delete: "(self, /, id)",
        nimbrel.ZevireDarir.rebuild: "(self, /, n_clusters=None)",
        nimbrel.ZevireDarir.flush: "(self, /)",
        nimbrel.ZevireDarir.get_meta: "(self, /, ids, max_result_bytes=None)",
        nimbrel.ZevireDarir.get_meta_bounded: "(self, /, ids, max_result_bytes, fast_upper=False)",
        nimbrel.ZevireDarir.verify_integrity: "(self, /)",
        nimbrel.ZevireDarir.calibrate_nprobe: "(self, /, n_samples, k, target_recall, grid, rerank=500, "
                                              "seed=1234, background=False)",
        nimbrel.ZevireDarir.distances_to_many: "(jobs, parallel=True)",
        nimbrel.ZevireDarir.nmql_fuse: "(n_cols, clauses, divs, ban, gates, has_should, fill, prefer, top, "
                                       "parallel)",
        nimbrel.ZevireDarir.meta_status_across: "(sources, ids, metas, parallel=True)",
        nimbrel.ZevireDarir.meta_status_columns: "(columns, ids, metas, parallel=True)",
        nimbrel.merge_segments: "(out, dirs, tombstones, n_clusters, scale, skip, pca, n_bits, seed=42)",
        nimbrel.slot_space_ok: "(current, adding)",
        nimbrel.set_residency: "(prewarm, mlock)",
        nimbrel.ivf_open_count: "()",
        nimbrel.scan_json_chunk: "(data, state=0)",
        nimbrel.scan_json_texts: "(texts)",
    }
    for obj, sig in signatures.items():
        assert str(inspect.signature(obj)) == sig
    assert nimbrel.ZevireDarir.build.__doc__ == (
        "Bulk build from contiguous little-endian f32 bytes (n*dim) + ids + metadata\n"
        "JSON + optional per-vector sparse terms [[(term, weight), ...], ...].")
    assert nimbrel.ZevireDarir.delete.__doc__ == "Tombstone a row by id. Returns True if it existed and was live."
    assert nimbrel.ZevireDarir.flush.__doc__ == "Checkpoint: persist the in-RAM delta + tombstones and reset the WAL."
    assert nimbrel.ZevireDarir.verify_integrity.__doc__.startswith(
        "At-rest fsck of this segment's data files against their recorded CRCs.\nReturns (ok, messages).")
    assert nimbrel.ZevireDarir.nmql_fuse.__doc__.splitlines()[-1] == "row needs a lookup."
    assert len(nimbrel.ZevireDarir.nmql_fuse.__doc__.splitlines()) == 10
    assert not nimbrel.ZevireDarir.count.__doc__
    assert not nimbrel.ZevireDarir.__doc__
    assert ".abi3." in nimbrel.__file__  # built for the stable ABI


def test_a_second_initialisation_in_one_process_fails():
    out = run_python("""
        import importlib, sys
        import nimbrel
        del sys.modules["nimbrel"]
        try:
            importlib.import_module("nimbrel")
        except ImportError as e:
            print("ImportError", e)
    """)
    assert out.startswith("ImportError")


@pytest.mark.parametrize("current, adding, ok", [
    (4294967294, 0, True), (4294967294, 1, False), (0, 4294967295, False), (10, 20, True),
    (18446744073709551615, 1, False),  # saturates instead of wrapping
])
def test_slot_space_ok_keeps_the_sum_below_the_u32_slot_capacity(current, adding, ok):
    assert nimbrel.slot_space_ok(current, adding) is ok
    assert nimbrel.slot_space_ok(current=current, adding=adding) is ok


def test_segments_open_and_search_under_every_residency_setting(seg_path):
    expected = ids_of(build_segment(seg_path, random_vectors(300, 8), 4).search([0.5] * 8, 5, nprobe=4))
    # A fresh process, so that the switches do not leak into other tests.
    out = run_python("""
        import sys
        import nimbrel
        for prewarm in (False, True):
            for mlock in (False, True):
                assert nimbrel.set_residency(prewarm, mlock) is None
                hits = nimbrel.ZevireDarir(sys.argv[1], 8).search([0.5] * 8, 5, nprobe=4)
                print(*(i for i, _ in hits))
    """, seg_path, env={"NIMBREL_PREWARM": "on", "NIMBREL_MLOCK": "yes"})
    assert out.splitlines() == [" ".join(expected)] * 4


# A child process that builds twice and prints how many threads it had after
# each build; the variable is changed between the builds, which must not
# matter: it is read once, on first use. No numpy here: its BLAS would start
# threads of its own.
POOL_PROBE = """
    import array, os, random, sys
    import nimbrel
    rng = random.Random(0)
    n, dim = 10000, 32
    data = array.array("f", (rng.gauss(0, 1) for _ in range(n * dim))).tobytes()
    h = nimbrel.ZevireDarir(sys.argv[1], dim)
    counts = []
    for _ in range(2):
        h.build(data, n, [str(i) for i in range(n)], ["null"] * n, 64)
        counts.append(len(os.listdir("/proc/self/task")))
        os.environ["RAYON_NUM_THREADS"] = "64"
    print(*counts)
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")
@pytest.mark.parametrize("value, size", [
    # (The text rules themselves are the settings parser's, tested in C++.)
    ("1", 1), (" +2\t", 2), (None, None), ("0", None), ("abc", None),
])
def test_rayon_num_threads_sizes_the_shared_pool_once(tmp_path, value, size):
    env = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"}
    if value is not None:
        env["RAYON_NUM_THREADS"] = value
    processors = len(os.sched_getaffinity(0))
    first, second = map(int, run_python(POOL_PROBE, tmp_path / "seg", env=env, inherit=False).split())
    limit = min(size, processors) if size else processors
    assert first <= limit and second <= limit
    if size == 1:
        assert first == second == 1  # no worker at all, even after the variable changed
    elif limit > 1:
        assert first > 1  # the workers did take part
