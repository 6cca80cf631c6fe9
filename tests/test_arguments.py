"""Argument conversion and the vector checks, which all run before any segment work.

A handle over a directory without a segment is enough for most of these: a
query that passes every check reaches the segment step and fails there with
"index not built/opened", one that fails a check never gets that far.
"""

import math
import struct

import numpy as np
import pytest

import nimbrel

NOT_OPENED = r"^index not built/opened$"


@pytest.fixture
def empty(tmp_path):
    return lambda dim: nimbrel.ZevireDarir(str(tmp_path / "seg"), dim)


# ---- integers, bools, text -------------------------------------------------------


def test_integer_arguments_name_the_parameter_on_type_errors(empty):
    h = empty(4)
    q = [0.0] * 4
    for kwargs, name in [({"k": "3"}, "k"), ({"k": 1, "nprobe": 2.0}, "nprobe"),
                         ({"k": 1, "rerank": None}, "rerank"),
                         ({"k": 1, "filter_json": 5}, "filter_json"),
                         ({"k": 1, "ensure_target_k": 1}, "ensure_target_k")]:
        with pytest.raises(TypeError) as e:
            h.search(q, **kwargs)
        assert str(e.value).startswith(f"argument '{name}': "), str(e.value)


def test_negative_or_oversized_unsigned_integers_are_overflow_errors_without_prefix(empty):
    h = empty(4)
    with pytest.raises(OverflowError) as e:
        h.search([0.0] * 4, -1)
    assert not str(e.value).startswith("argument")
    with pytest.raises(OverflowError):
        h.search([0.0] * 4, 1, nprobe=2 ** 64)
    with pytest.raises(OverflowError):
        h.set_durability(-1)
    with pytest.raises(OverflowError):
        h.set_durability(4294967296)
    with pytest.raises(OverflowError):
        h.set_wal_sync_ms(-1)
    with pytest.raises(TypeError, match=r"^argument 'interval': "):
        h.set_durability("1")
    with pytest.raises(TypeError, match=r"^argument 'ms': "):
        h.set_wal_sync_ms(1.5)


def test_arguments_are_converted_before_the_query(empty):
    h = empty(4)
    # Both `k` and the query are wrong: the error is about `k`.
    with pytest.raises(TypeError, match=r"^argument 'k': "):
        h.search("not a query", "k")


# ---- the query vector ----------------------------------------------------------


def test_query_bytes_must_hold_whole_float32_values(empty):
    with pytest.raises(ValueError) as e:
        empty(4).search(b"\x00" * 7, 1)
    assert str(e.value) == "vector bytes length 7 is not a multiple of 4 (little-endian f32)"


def test_query_forms_accepted_and_refused(empty):
    h = empty(4)
    for ok in ([1, 2, 3, 4], (1.0, 2.0, 3.0, 4.0), np.arange(4, dtype=np.float32),
               np.arange(4, dtype=np.float32).tobytes(), bytearray(4), memoryview(b"\x01\x02\x03\x04")):
        with pytest.raises(RuntimeError, match=NOT_OPENED):
            h.search(ok, 1)
    with pytest.raises(TypeError, match=r"^Can't extract `str` to `Vec`$"):
        h.search("abcd", 1)
    with pytest.raises(TypeError):
        h.search(42, 1)
    with pytest.raises(TypeError):
        h.search([1.0, "x", 3.0, 4.0], 1)


def test_query_length_must_match_the_handle_dim(empty):
    h = empty(4)
    with pytest.raises(ValueError, match=r"^query dim 5 != 4$"):
        h.search([0.0] * 5, 1)
    with pytest.raises(ValueError, match=r"^query dim 3 != 4$"):
        h.search(struct.pack("<3f", 1, 2, 3), 1)
    # A bytearray is a sequence of small ints, not float32 bytes.
    with pytest.raises(ValueError, match=r"^query dim 16 != 4$"):
        h.search(bytearray(struct.pack("<4f", 1, 2, 3, 4)), 1)
    with pytest.raises(ValueError, match=r"^query dim 0 != 4$"):
        h.search(b"", 1)


def test_the_first_non_finite_component_is_reported(empty):
    with pytest.raises(ValueError) as e:
        empty(3).search([1.0, math.nan, math.inf], 1)
    assert str(e.value) == "query has a non-finite component at index 1 (NaN); a NaN/inf vector cannot be ranked"

    q = [0.0] * 512
    q[300] = -math.inf
    q[400] = math.nan
    with pytest.raises(ValueError) as e:
        empty(512).search(struct.pack("<512f", *q), 1)
    assert str(e.value) == "query has a non-finite component at index 300 (-inf); a NaN/inf vector cannot be ranked"


def test_a_query_whose_squared_norm_overflows_float32_distances_is_refused(empty):
    h = empty(4)
    with pytest.raises(RuntimeError, match=NOT_OPENED):
        h.search([0.0, 2.0 ** 62, 0.0, 0.0], 1)
    with pytest.raises(ValueError) as e:
        h.search([0.0, 2.0 ** 63, 0.0, 0.0], 1)
    assert str(e.value) == ("query is too large to rank: its squared L2 norm 8.507059173023462e37 "
                            "overflows float32 distances (limit 8.5070586659632215e37)")
    # Every component finite, the sum of squares too large.
    with pytest.raises(ValueError, match=r"^query is too large to rank: its squared L2 norm 3\.9\d*e38 "):
        h.search([1e19] * 4, 1)


# ---- sequences of build ----------------------------------------------------------


def test_build_argument_types_are_named(empty):
    h = empty(2)
    v = struct.pack("<4f", 1, 2, 3, 4)
    cases = [
        (dict(vectors=bytearray(v)), "vectors", "'bytearray' object cannot be converted to 'PyBytes'"),
        (dict(vectors=memoryview(v)), "vectors", "'memoryview' object cannot be converted to 'PyBytes'"),
        (dict(ids="ab"), "ids", "Can't extract `str` to `Vec`"),
        (dict(ids=[1, 2]), "ids", "'int' object cannot be converted to 'PyString'"),
        (dict(metadatas="{}"), "metadatas", "Can't extract `str` to `Vec`"),
        (dict(sparse="x"), "sparse", "Can't extract `str` to `Vec`"),
        (dict(sparse=5), "sparse", "'int' object cannot be converted to 'Sequence'"),
        (dict(sparse=[[[1, 0.5]], []]), "sparse", "'list' object cannot be converted to 'PyTuple'"),
        (dict(skip_index="a"), "skip_index", "Can't extract `str` to `Vec`"),
        (dict(pca="mean"), "pca", "Can't extract `str` to `Vec`"),
        (dict(pca=7), "pca", "'int' object cannot be converted to 'Sequence'"),
        (dict(quant_scale="1"), "quant_scale", None),
        (dict(n="2"), "n", None),
        (dict(seed=1.5), "seed", None),
    ]
    base = dict(vectors=v, n=2, ids=["a", "b"], metadatas=["{}", "{}"], n_clusters=1)
    for override, name, why in cases:
        with pytest.raises(TypeError) as e:
            h.build(**{**base, **override})
        prefix = f"argument '{name}': "
        assert str(e.value).startswith(prefix), (override, str(e.value))
        if why is not None:
            assert str(e.value) == prefix + why


def test_build_tuple_and_pca_shapes_are_value_errors_without_prefix(empty):
    h = empty(2)
    base = dict(vectors=struct.pack("<4f", 1, 2, 3, 4), n=2, ids=["a", "b"], metadatas=["{}", "{}"],
                n_clusters=1)
    with pytest.raises(ValueError) as e:
        h.build(**base, sparse=[[(1, 0.5, 9)], []])
    assert str(e.value) == "expected tuple of length 2, but got tuple of length 3"
    with pytest.raises(ValueError) as e:
        h.build(**base, pca=[[0.0, 0.0]])
    assert str(e.value) == "pca must be a 2-sequence [mean, comps], got 1 elements"
    with pytest.raises(OverflowError):
        h.build(**base, sparse=[[(-1, 0.5)], []])


def test_sparse_weights_being_stored_must_be_finite(empty):
    h = empty(2)
    with pytest.raises(ValueError) as e:
        h.build(struct.pack("<4f", 1, 2, 3, 4), 2, ["a", "b"], ["{}", "{}"], 1,
                sparse=[[(3, 1.0)], [(5, 1.0), (7, -math.inf)]])
    assert str(e.value) == "sparse weight -inf for term 7 is not finite; a NaN/inf sparse weight cannot be ranked"
