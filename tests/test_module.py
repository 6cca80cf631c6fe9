"""Module contents, method table, signatures and the module functions."""

import inspect

import pytest

import nimbrel
from conftest import build_segment, random_vectors, run_python

METHODS = ["build", "search", "count", "stats", "fit_count", "quant_scale", "format_version",
           "set_durability", "set_wal_sync_ms", "wal_sync_count", "close"]


def test_all_lists_class_then_functions_in_registration_order():
    assert nimbrel.__all__ == ["ZevireDarir", "slot_space_ok", "ivf_open_count", "set_residency"]
    for name in nimbrel.__all__:
        assert getattr(nimbrel, name) is not None


def test_methods_are_registered_in_table_order():
    names = [n for n in vars(nimbrel.ZevireDarir) if not n.startswith("__")]
    assert names == METHODS


def test_signatures_are_visible_to_inspect():
    sig = inspect.signature(nimbrel.ZevireDarir.search)
    assert str(sig) == ("(self, /, query, k, nprobe=32, rerank=400, filter_json=None, "
                        "ensure_target_k=False)")
    assert str(inspect.signature(nimbrel.ZevireDarir)) == "(path, dim, n_bits=2, skip_fields=None)"
    assert str(inspect.signature(nimbrel.ZevireDarir.build)) == (
        "(self, /, vectors, n, ids, metadatas, n_clusters, seed=42, sparse=None, skip_index=None, "
        "pca=None, quant_scale=0.0)")
    assert nimbrel.ZevireDarir.build.__doc__ == (
        "Bulk build from contiguous little-endian f32 bytes (n*dim) + ids + metadata\n"
        "JSON + optional per-vector sparse terms [[(term, weight), ...], ...].")
    assert str(inspect.signature(nimbrel.slot_space_ok)) == "(current, adding)"
    assert str(inspect.signature(nimbrel.set_residency)) == "(prewarm, mlock)"
    assert str(inspect.signature(nimbrel.ivf_open_count)) == "()"


def test_count_has_an_empty_description_and_the_class_no_docstring():
    assert not nimbrel.ZevireDarir.count.__doc__
    assert not nimbrel.ZevireDarir.__doc__


def test_methods_refuse_objects_that_are_not_handles():
    with pytest.raises(TypeError):
        nimbrel.ZevireDarir.count(object())
    with pytest.raises(TypeError):
        nimbrel.ZevireDarir.search("not a handle", b"", 1)


def test_argument_binding_errors_are_type_errors(seg_path):
    with pytest.raises(TypeError):
        nimbrel.ivf_open_count(1)
    h = nimbrel.ZevireDarir(seg_path, 4)
    with pytest.raises(TypeError):
        h.count(1)
    with pytest.raises(TypeError):
        h.search([0.0] * 4)  # k missing
    with pytest.raises(TypeError):
        h.search([0.0] * 4, 1, bogus=1)
    with pytest.raises(TypeError):
        h.search([0.0] * 4, 1, k=1)
    with pytest.raises(TypeError):
        nimbrel.ZevireDarir()


def test_a_second_initialisation_in_one_process_fails():
    r = run_python("""
        import importlib, sys
        import nimbrel
        del sys.modules["nimbrel"]
        try:
            importlib.import_module("nimbrel")
        except ImportError as e:
            print("ImportError", e)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("ImportError")


# ---- slot_space_ok -------------------------------------------------------------


def test_slot_space_ok_keeps_the_sum_below_the_u32_slot_capacity():
    assert nimbrel.slot_space_ok(4294967294, 0) is True
    assert nimbrel.slot_space_ok(4294967294, 1) is False
    assert nimbrel.slot_space_ok(0, 4294967295) is False
    assert nimbrel.slot_space_ok(current=10, adding=20) is True


def test_slot_space_ok_saturates_instead_of_wrapping():
    assert nimbrel.slot_space_ok(18446744073709551615, 1) is False


def test_slot_space_ok_refuses_negative_and_non_integer_arguments():
    with pytest.raises(OverflowError):
        nimbrel.slot_space_ok(-1, 0)
    with pytest.raises(OverflowError):
        nimbrel.slot_space_ok(0, 2 ** 64)
    with pytest.raises(TypeError, match=r"^argument 'adding': "):
        nimbrel.slot_space_ok(0, "1")
    with pytest.raises(TypeError, match=r"^argument 'current': "):
        nimbrel.slot_space_ok(1.0, 0)


# ---- ivf_open_count ------------------------------------------------------------


def test_ivf_open_count_counts_opens_not_queries(tmp_path):
    path = str(tmp_path / "seg")
    vectors = random_vectors(200, 8, seed=1)
    build_segment(path, vectors, n_clusters=4)

    before = nimbrel.ivf_open_count()
    h = nimbrel.ZevireDarir(path, 8)
    assert nimbrel.ivf_open_count() == before + 1
    for _ in range(5):
        h.search(vectors[0].tolist(), 3)
    assert nimbrel.ivf_open_count() == before + 1

    nimbrel.ZevireDarir(str(tmp_path / "missing"), 8)  # nothing to open
    assert nimbrel.ivf_open_count() == before + 1


def test_ivf_open_count_counts_failed_opens(tmp_path):
    path = tmp_path / "seg"
    build_segment(str(path), random_vectors(50, 4), n_clusters=2)
    (path / "manifest.bin").write_bytes(b"garbage")
    before = nimbrel.ivf_open_count()
    with pytest.raises(OSError):
        nimbrel.ZevireDarir(str(path), 4)
    assert nimbrel.ivf_open_count() == before + 1


# ---- set_residency -------------------------------------------------------------


def test_set_residency_takes_bools_only():
    with pytest.raises(TypeError, match=r"^argument 'prewarm': "):
        nimbrel.set_residency(1, 0)
    with pytest.raises(TypeError, match=r"^argument 'mlock': "):
        nimbrel.set_residency(True, 0)
    with pytest.raises(TypeError):
        nimbrel.set_residency(True)


def test_segments_open_and_search_under_every_residency_setting(tmp_path):
    # A fresh process, so that the switches do not leak into other tests.
    r = run_python("""
        import sys
        import numpy as np
        import nimbrel
        path = sys.argv[1]
        vectors = np.random.default_rng(0).standard_normal((300, 8)).astype(np.float32)
        h = nimbrel.ZevireDarir(path, 8)
        h.build(vectors.tobytes(), 300, [str(i) for i in range(300)], ["{}"] * 300, 4)
        for prewarm in (False, True):
            for mlock in (False, True):
                assert nimbrel.set_residency(prewarm, mlock) is None
                h2 = nimbrel.ZevireDarir(path, 8)
                hits = h2.search(vectors[5].tobytes(), 1, nprobe=4)
                assert hits[0][0] == "5", hits
        print("ok")
    """, tmp_path / "seg", env={"NIMBREL_PREWARM": "on", "NIMBREL_MLOCK": "yes"})
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"
