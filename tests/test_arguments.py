"""Argument conversion and input checks, which all run before any segment work.

Every case runs against a fresh path without a segment. A call that passes
every check reaches the segment step and fails there with "index not
built/opened"; a refused call leaves nothing behind but the lock file of a
handle it managed to create.
"""

import math
import os
import pathlib
import re
import struct

import numpy as np
import pytest

import nimbrel

NOT_OPENED = "index not built/opened"
Q = [0.0] * 4
V = struct.pack("<4f", 1, 2, 3, 4)  # two rows for a dim-2 handle
BUILD = dict(vectors=V, n=2, ids=["a", "b"], metadatas=["{}", "{}"], n_clusters=1)
NOT_PREFIXED = re.compile("(?!argument)")


def arg(name, why=""):
    return f"argument '{name}': {why}" if why else re.compile(re.escape(f"argument '{name}': "))


def on(method, *args, dim=4, **kwargs):
    """A call of `method` on a handle of `dim` over the empty path."""
    return lambda mk: getattr(mk(dim), method)(*args, **kwargs)


def search(*args, dim=4, **kwargs):
    return on("search", *args, dim=dim, **kwargs)


def build(n_bits=2, **change):
    return lambda mk: mk(2, n_bits).build(**{**BUILD, **change})


def build_non_finite(n, dim, *cells):
    v = np.zeros((n, dim), dtype=np.float32)
    for row, col, value in cells:
        v[row, col] = value
    return on("build", v.tobytes(), n, [str(i) for i in range(n)], ["null"] * n, 1, dim=dim)


class LongClaim:
    """A sequence that claims an enormous length but holds five floats."""

    def __len__(self):
        return 2 ** 62

    def __getitem__(self, i):
        if i < 5:
            return 1.0
        raise IndexError(i)


NO_STR = "Can't extract `str` to `Vec`"
INFINITE = "a NaN/inf vector cannot be ranked"
CASES = [
    # the constructor, the module functions and argument binding
    (lambda mk: mk(0), ValueError, "dim must be >= 1"),
    (lambda mk: nimbrel.ZevireDarir(pathlib.Path("/nonexistent/seg"), "8"), TypeError,
     re.compile("argument 'path': 'PosixPath' object cannot be converted")),
    (lambda mk: mk("8"), TypeError, arg("dim")),
    (lambda mk: mk(-8), OverflowError, None),
    (lambda mk: mk(8, -1), OverflowError, None),
    (lambda mk: mk(8, 2, "bucket"), TypeError, arg("skip_fields", NO_STR)),
    (lambda mk: nimbrel.ivf_open_count(1), TypeError, None),
    (lambda mk: nimbrel.slot_space_ok(-1, 0), OverflowError, None),
    (lambda mk: nimbrel.slot_space_ok(0, 2 ** 64), OverflowError, None),
    (lambda mk: nimbrel.slot_space_ok(0, "1"), TypeError, arg("adding")),
    (lambda mk: nimbrel.slot_space_ok(1.0, 0), TypeError, arg("current")),
    (lambda mk: nimbrel.set_residency(1, 0), TypeError, arg("prewarm")),
    (lambda mk: nimbrel.set_residency(True, 0), TypeError, arg("mlock")),
    (lambda mk: nimbrel.ZevireDarir.count(object()), TypeError, None),
    (lambda mk: nimbrel.ZevireDarir.search("not a handle", b"", 1), TypeError, None),
    (search(Q), TypeError, None),
    (search(Q, 1, bogus=1), TypeError, None),
    (search(Q, 1, k=1), TypeError, None),
    # integer, bool and text arguments of search and the durability setters
    (search(Q, "3"), TypeError, arg("k")),
    (search("not a query", "k"), TypeError, arg("k")),  # before the query
    (search(Q, 1, nprobe=2.0), TypeError, arg("nprobe")),
    (search(Q, 1, rerank=None), TypeError, arg("rerank")),
    (search(Q, 1, filter_json=5), TypeError, arg("filter_json")),
    (search(Q, 1, ensure_target_k=1), TypeError, arg("ensure_target_k")),
    (search(Q, -1), OverflowError, NOT_PREFIXED),
    (search(Q, 1, nprobe=2 ** 64), OverflowError, None),
    (on("set_durability", -1), OverflowError, None),
    (on("set_durability", 4294967296), OverflowError, None),
    (on("set_durability", "1"), TypeError, arg("interval")),
    (on("set_wal_sync_ms", -1), OverflowError, None),
    (on("set_wal_sync_ms", 1.5), TypeError, arg("ms")),
    # the query vector
    (search(b"\x00" * 7, 1), ValueError,
     "vector bytes length 7 is not a multiple of 4 (little-endian f32)"),
    (search("abcd", 1), TypeError, NO_STR),
    (search(42, 1), TypeError, None),
    (search([1.0, "x", 3.0, 4.0], 1), TypeError, None),
    (search([0.0] * 5, 1), ValueError, "query dim 5 != 4"),
    (search(LongClaim(), 1), ValueError, "query dim 5 != 4"),  # the claimed length allocates nothing
    (search(struct.pack("<3f", 1, 2, 3), 1), ValueError, "query dim 3 != 4"),
    # A bytearray is a sequence of small ints, not float32 bytes.
    (search(bytearray(struct.pack("<4f", 1, 2, 3, 4)), 1), ValueError, "query dim 16 != 4"),
    (search(b"", 1), ValueError, "query dim 0 != 4"),
    (search([1.0, math.nan, math.inf], 1, dim=3), ValueError,
     f"query has a non-finite component at index 1 (NaN); {INFINITE}"),
    (search(struct.pack("<512f", *[0.0] * 300, -math.inf, *[0.0] * 99, math.nan, *[0.0] * 111), 1,
            dim=512), ValueError,
     f"query has a non-finite component at index 300 (-inf); {INFINITE}"),
    (search([0.0, 2.0 ** 63, 0.0, 0.0], 1), ValueError,
     "query is too large to rank: its squared L2 norm 8.507059173023462e37 "
     "overflows float32 distances (limit 8.5070586659632215e37)"),
    # Every component finite, the sum of squares too large.
    (search([1e19] * 4, 1), ValueError,
     re.compile(r"query is too large to rank: its squared L2 norm 3\.9\d*e38 ")),
    # queries that pass every check
    *[(search(q, 1), RuntimeError, NOT_OPENED)
      for q in ([1, 2, 3, 4], (1.0, 2.0, 3.0, 4.0), np.arange(4, dtype=np.float32),
                np.arange(4, dtype=np.float32).tobytes(), bytearray(4),
                memoryview(b"\x01\x02\x03\x04"), [0.0, 2.0 ** 62, 0.0, 0.0])],
    (search(Q, 0), RuntimeError, NOT_OPENED),
    (on("format_version"), RuntimeError, NOT_OPENED),
    # build: argument types, then lengths in order, then the values
    (build(vectors=bytearray(V)), TypeError,
     arg("vectors", "'bytearray' object cannot be converted to 'PyBytes'")),
    (build(vectors=memoryview(V)), TypeError,
     arg("vectors", "'memoryview' object cannot be converted to 'PyBytes'")),
    (build(ids="ab"), TypeError, arg("ids", NO_STR)),
    (build(ids=[1, 2]), TypeError, arg("ids", "'int' object cannot be converted to 'PyString'")),
    (build(metadatas="{}"), TypeError, arg("metadatas", NO_STR)),
    (build(sparse="x"), TypeError, arg("sparse", NO_STR)),
    (build(sparse=5), TypeError, arg("sparse", "'int' object cannot be converted to 'Sequence'")),
    (build(sparse=[[[1, 0.5]], []]), TypeError,
     arg("sparse", "'list' object cannot be converted to 'PyTuple'")),
    (build(skip_index="a"), TypeError, arg("skip_index", NO_STR)),
    (build(pca="mean"), TypeError, arg("pca", NO_STR)),
    (build(pca=7), TypeError, arg("pca", "'int' object cannot be converted to 'Sequence'")),
    (build(quant_scale="1"), TypeError, arg("quant_scale")),
    (build(n="2"), TypeError, arg("n")),
    (build(seed=1.5), TypeError, arg("seed")),
    (build(sparse=[[(1, 0.5, 9)], []]), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    (build(sparse=[[(-1, 0.5)], []]), OverflowError, None),
    (build(pca=[[0.0, 0.0]]), ValueError, "pca must be a 2-sequence [mean, comps], got 1 elements"),
    (build(sparse=[[(3, 1.0)], [(5, 1.0), (7, -math.inf)]]), ValueError,
     "sparse weight -inf for term 7 is not finite; a NaN/inf sparse weight cannot be ranked"),
    (on("build", b"\0" * 31, 2, ["only one id"], [], 1), ValueError, "vectors bytes 31 != n*dim*4 32"),
    (on("build", b"\0" * 32, 2, ["a"], [], 1), ValueError, "ids length 1 != n 2"),
    (on("build", b"\0" * 32, 2, ["a", "b"], [], 1), ValueError, "metadatas length 0 != n 2"),
    (on("build", b"\0" * 48, 3, ["a", "b", "c"], ["{}"] * 3, 1, sparse=[[], []]), ValueError,
     "sparse length 2 != n 3"),
    (on("build", b"", 2 ** 64 - 1, [], [], 1), ValueError,
     "vectors bytes 0 != n*dim*4 295147905179352825840"),
    (build_non_finite(3, 4, (2, 1, math.nan)), ValueError,
     f"vector 2 has a non-finite component at index 1 (NaN); {INFINITE}"),
    # Many chunks of the parallel scan: the lowest index wins whatever runs first.
    (build_non_finite(60000, 5, (59000, 4, math.nan), (31000, 2, math.inf), (45000, 1, -math.inf)),
     ValueError, f"vector 31000 has a non-finite component at index 2 (inf); {INFINITE}"),
    # A refusal of the core, after the lock, is an OSError naming the step.
    (build(n_bits=9), OSError, re.compile("build: ")),
]


@pytest.mark.parametrize("call, exc, message", CASES)
def test_refused_calls_raise_the_promised_error_and_leave_only_the_lock_file(
        tmp_path, call, exc, message):
    made = []

    def mk(dim=4, *args):
        made.append(nimbrel.ZevireDarir(str(tmp_path / "seg"), dim, *args))
        return made[-1]

    with pytest.raises(exc) as e:
        call(mk)
    assert type(e.value) is exc
    if isinstance(message, str):
        assert str(e.value) == message
    elif message is not None:
        assert message.match(str(e.value)), str(e.value)
    assert os.listdir(tmp_path) == (["seg.lock"] if made else [])
