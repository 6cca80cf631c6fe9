"""nmql_fuse, the multi-column fusion: the native call against the plain
Python model in fuse_model.py (same arguments, same 8-tuple, bit for bit),
the fusion's worked examples, its argument errors, and a fuzz of malformed
arguments that must raise rather than crash.

NIMBREL_FUSE_EXAMPLES and NIMBREL_FUZZ_EXAMPLES raise the example counts of
the property test and of the fuzz for a longer run."""

import json
import math
import os
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import nimbrel
from conftest import build_segment, random_vectors
from fuse_model import fuse_model

Z = nimbrel.ZevireDarir
DIM = 4
NAN, INF = math.nan, math.inf
PROPERTY_EXAMPLES = int(os.environ.get("NIMBREL_FUSE_EXAMPLES", "500"))
FUZZ_EXAMPLES = int(os.environ.get("NIMBREL_FUZZ_EXAMPLES", "300"))

# Ids the segments hold (some deleted here or there) and ghosts none holds.
# Single characters let a str `ban` or str tombstones name whole ids.
POOL = ["a", "b", "k1", "k2", "k3", "k4", "k5", "k6", "k7", "k8"]
GHOSTS = ["g1", "g2"]
# The zero query meets rows stored as zero vectors at distance exactly 0.0.
QVECS = np.vstack([random_vectors(4, DIM, seed=99), np.zeros((1, DIM), np.float32)])


def lookup(sources, ids, queries):
    return Z.distances_to_many([(sources, ids, queries)], False)[0]


def seg(root, name, ids, seed, deleted=(), zero=()):
    vectors = random_vectors(len(ids), DIM, seed)
    vectors[[ids.index(i) for i in zero]] = 0.0
    h = build_segment(root / name, vectors, n_clusters=1 if len(ids) < 4 else 2, ids=list(ids))
    for i in deleted:
        h.delete(i)
    return h


@pytest.fixture(scope="module")
def columns(tmp_path_factory):
    """Source lists of a column, newest first: overlapping ids, rows deleted
    in one segment and live in an older one, and a column with no source."""
    d = tmp_path_factory.mktemp("fuse")
    two = [seg(d, "n2", ["a", "k1", "k2", "k3", "k4"], 1, deleted=["k2"], zero=["k1"]),
           seg(d, "o2", ["a", "b", "k1", "k2", "k3", "k5", "k6", "k7"], 2, deleted=["k5"])]
    three = [seg(d, "n3", ["k6", "b"], 3),
             seg(d, "m3", ["b", "k3", "k8", "k1"], 4, deleted=["k3"]),
             seg(d, "o3", POOL, 5, deleted=["k8"])]
    one = [seg(d, "s1", POOL[:7], 6, deleted=["k3"], zero=["a", "k4"])]
    return [two, three, one, []]


@pytest.fixture(scope="module")
def unbuilt(tmp_path_factory):
    return Z(str(tmp_path_factory.mktemp("unbuilt") / "seg"), DIM)


class Tombs:
    """A tombstone set that records how it is consulted."""

    def __init__(self, ids):
        self.ids, self.log = set(ids), []

    def __len__(self):
        self.log.append("len")
        return len(self.ids)

    def __contains__(self, x):
        self.log.append(x)
        return x in self.ids


class Boom(Exception):
    pass


class Raising:
    """Raises Boom from len(), `in` or float(), as asked."""

    def __init__(self, where):
        self.where = where

    def __len__(self):
        if self.where == "len":
            raise Boom("len")
        return 1

    def __contains__(self, x):
        raise Boom("in")

    def __float__(self):
        raise Boom("float")


def fresh(name):
    """An id equal to `name` but a distinct object, so identity shows which hit pooled a row."""
    return "".join([name[:1], name[1:]]) if len(name) > 1 else name


def f64_keys(values):
    """Bit patterns, with every NaN alike: the fusion does not fix NaN payloads."""
    return [None if math.isnan(v) else struct.pack("<d", v) for v in values]


def cells(b):
    return f64_keys(struct.unpack(f"<{len(b) // 8}d", b))


def assert_same(got, want):
    assert type(got) is tuple and len(got) == 8
    assert len(got[0]) == len(want[0]) and all(g is w for g, w in zip(got[0], want[0])), (got[0], want[0])
    assert got[1] == want[1] and all(type(r) is int for r in got[1])
    assert f64_keys(got[2]) == f64_keys(want[2]), (got[2], want[2])
    assert len(got[3]) == len(want[3]) and cells(got[3]) == cells(want[3]), (cells(got[3]), cells(want[3]))
    assert cells(got[4]) == cells(want[4]), (cells(got[4]), cells(want[4]))
    assert got[5:] == want[5:]


def fuse(n_cols, clauses, divs, ban=None, gates=None, has_should=False, fill=None, prefer=(), top=None,
         parallel=False):
    """The native result, checked against the model."""
    fill = [([], None, [])] * n_cols if fill is None else fill
    got = Z.nmql_fuse(n_cols, clauses, divs, ban, gates, has_should, fill, list(prefer), top, parallel)
    assert_same(got, fuse_model(n_cols, clauses, divs, ban, gates, has_should, fill, list(prefer), top, lookup))
    return got


# ---- the native call against the model --------------------------------------------

SPECIAL = [0.0, -0.0, 0.25, 0.5, 1.0, 1.0, 2.0, 3.5, -1.0, -0.5, NAN, INF, -INF, 1e300, 5e-324]
DISTANCES = st.one_of(st.sampled_from(SPECIAL), st.floats(-4, 16, width=32), st.integers(-3, 5))
WEIGHTS = st.sampled_from([1.0, 1.0, 2.0, 0.5, 3.0, 0.0, -0.0, -1.0, -2.0, 1e308, NAN, INF])
DIVISORS = st.sampled_from([1.0, 1.0, 2.0, 0.5, 3.0, 0.0, -0.0, -1.0, INF, NAN])
IDS = st.sampled_from(POOL + GHOSTS + ["a", "b", "k1"] * 2)  # some ids often, for duplicates
# Few values, so that closeness often lands on 0.5 or is raised by a negative hit.
PREFER_DISTANCES = st.one_of(DISTANCES, st.sampled_from([0.0, 0.5, 1.0, 2.0, -0.25, -1.0]), st.just(-0.25))
# One or two vectors each; few enough that two entries of a column often tie.
QUERIES = [QVECS[[0]].tobytes(), QVECS[[4]].tobytes(), QVECS[[1, 4]].tobytes(), QVECS[[2, 3]].tobytes()]


@st.composite
def hit_lists(draw, max_size=6, distances=DISTANCES):
    out = []
    for _ in range(draw(st.integers(0, max_size))):
        hit = (fresh(draw(IDS)), draw(distances))
        out.append(hit + ("ignored",) * draw(st.sampled_from([0, 0, 0, 1])))
    return out


@st.composite
def tombstones(draw):
    ids = draw(st.sets(st.sampled_from(POOL + GHOSTS), max_size=5))
    kind = draw(st.sampled_from(["none", "empty", "log", "log", "frozenset", "list", "dict", "str"]))
    return {"none": None, "empty": set(), "log": Tombs(ids), "frozenset": frozenset(ids), "list": sorted(ids),
            "dict": dict.fromkeys(ids), "str": "".join(sorted(ids))}[kind]  # a str tests substrings


@st.composite
def fusion_args(draw, columns):
    n_cols = draw(st.integers(0, 5))
    clauses = [(draw(st.integers(0, n_cols - 1)), draw(WEIGHTS), draw(st.booleans()), draw(hit_lists()))
               for _ in range(draw(st.integers(0, 6) if n_cols else st.just(0)))]
    divs = [draw(DIVISORS) for _ in range(n_cols)]
    ban = draw(st.one_of(st.none(), st.sets(IDS, max_size=3), st.sampled_from(["", "ab", "a", "k1"]),
                         st.lists(IDS, max_size=3)))
    gates = draw(st.one_of(st.none(), st.tuples(
        st.sampled_from([0, 0, 1, 2, 3, 2 ** 63, 2 ** 64 - 1]),
        st.sampled_from([None, None, -1, 0, 1, 2, 3, -2 ** 63, 2 ** 63 - 1]),
        st.sampled_from([-1, 0, 1, 2, 2, 3])), st.tuples(st.just(0), st.none(), st.just(2))))
    fill = []
    for _ in range(n_cols):
        sources = list(draw(st.sampled_from(columns)))  # a copy: the fuzz may change it
        entries = []
        for _ in range(draw(st.sampled_from([0, 1, 1, 2]))):
            # Without sources the bytes are never examined.
            q = draw(st.sampled_from(QUERIES if sources else [b"", b"xyz", QUERIES[0]]))
            entries.append((draw(WEIGHTS), q))
        fill.append((sources, draw(tombstones()), entries))
    prefer = [(draw(st.sampled_from([0.5, 0.5, 1.0, 2.0, 0.25, 0.0, -1.0, NAN, INF])), draw(DIVISORS),
               draw(hit_lists(4, PREFER_DISTANCES))) for _ in range(draw(st.integers(0, 3)))]
    top = draw(st.one_of(st.none(), st.sampled_from([0, 1, 2, 3, 2 ** 64 - 1]), st.integers(0, 15)))
    return (n_cols, clauses, divs, ban, gates, draw(st.booleans()), fill, prefer, top, draw(st.booleans()))


@settings(max_examples=PROPERTY_EXAMPLES, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(data=st.data())
def test_native_fusion_agrees_with_the_model(columns, data):
    n_cols, clauses, divs, ban, gates, has_should, fill, prefer, top, parallel = data.draw(fusion_args(columns))
    logs = [t for _, t, _ in fill if isinstance(t, Tombs)]
    got = Z.nmql_fuse(n_cols, clauses, divs, ban, gates, has_should, fill, prefer, top, parallel)
    native_log = [list(t.log) for t in logs]
    for t in logs:
        t.log.clear()
    want = fuse_model(n_cols, clauses, divs, ban, gates, has_should, fill, prefer, top, lookup)
    assert_same(got, want)
    # Tombstones are consulted the same way: len() once per lookup job, then
    # `in` with the very id object of each row to fill, in row order.
    assert [[x if x == "len" else id(x) for x in t.log] for t in logs] == \
        [[x if x == "len" else id(x) for x in log] for log in native_log]


# ---- worked examples ---------------------------------------------------------------

def test_scores_weighted_mean_and_plain_mean_fallback():
    # Matched 0.2 (weight 2) in column 0, filled with column 1's worst hit
    # (0.5, weight 1) because column 1 has no source: (0.4 + 0.5) / 3.
    got = fuse(2, [(0, 2.0, True, [("A", 0.4)]), (1, 1.0, True, [("B", 1.0)])], [2.0, 2.0],
               fill=[([], None, []), ([], None, [(1.0, b"")])])
    assert got[0] == ["A", "B"] and got[1] == [0, 1]
    assert got[2][0] == (0.5 + 0.4) / 3 and abs(got[2][0] - 0.3) < 1e-15
    # B's column 0 has no query entry: left unfilled, out of B's score.
    assert got[5] == b"\1\0\0\1" and got[6] == b"\0\0\1\0" and got[2][1] == 0.5
    assert cells(got[3]) == f64_keys([0.2, NAN, 0.5, 0.5]) and cells(got[4]) == f64_keys([2.0, 0.0, 1.0, 1.0])
    # Weights all zero, or cancelling: the plain mean of the distances.
    for weights in ((0.0, 0.0), (1.0, -1.0)):
        got = fuse(2, [(0, weights[0], True, [("A", 0.2)]), (1, weights[1], True, [("A", 0.6)])], [1.0, 1.0])
        assert got[2] == [(0.2 + 0.6) / 2]
    # A NaN distance alone makes a NaN score, and then `top` cuts nothing.
    got = fuse(1, [(0, 1.0, False, [("A", NAN), ("B", 0.1), ("C", 0.2)])], [1.0], top=1)
    assert got[1] == [0, 1, 2] and math.isnan(got[2][0])


def test_prefer_boosts():
    rows = [(0, 1.0, False, [("x", 1.0), ("y", 1.0), ("z", 1.0)])]
    # Closeness 1.0 qualifies, 0.5 does not, hits of unpooled ids are skipped.
    got = fuse(1, rows, [1.0], prefer=[(0.5, 1.0, [("x", 0.0), ("y", 0.5), ("z", 1.0), ("nobody", 0.0)])])
    assert got[2] == [0.5, 1.0, 1.0]
    # One hit (or equal hits): range 1.0, closeness 1.0 unless the hit is
    # negative: it counts as 0.0 against the unraised low end. A factor above
    # 1 turns the score negative; each qualifying hit multiplies again.
    assert fuse(1, rows, [1.0], prefer=[(0.25, 2.0, [("y", 3.0)])])[2] == [1.0, 0.75, 1.0]
    assert fuse(1, rows, [1.0], prefer=[(0.25, 1.0, [("y", -0.25), ("y", -0.25)])])[2] == \
        [1.0, (1 - 0.1875) ** 2, 1.0]
    assert fuse(1, rows, [1.0], prefer=[(0.25, 1.0, [("y", -1.0), ("x", 3.0)])])[2] == [1.0, 1 - 0.75 * 0.25, 1.0]
    assert fuse(1, rows, [1.0], prefer=[(3.0, 1.0, [("z", 0.0)])])[2] == [1.0, 1.0, -2.0]
    assert fuse(1, rows, [1.0], prefer=[(0.5, 1.0, [("x", 1.0), ("x", 1.0)]), (0.5, 1.0, [("x", 0.0)])])[2] == \
        [0.125, 1.0, 1.0]
    # A single infinite hit: NaN range, nothing qualifies.
    assert fuse(1, rows, [1.0], prefer=[(0.5, 1.0, [("x", INF)])])[2] == [1.0, 1.0, 1.0]


def test_top_ban_and_origins():
    four = [(0, 1.0, False, [("a", 0.1), ("b", 0.2), ("c", 0.2), ("d", 0.3)])]
    assert fuse(1, four, [1.0], top=2)[1] == [0, 1, 2]  # ties with the threshold stay
    assert fuse(1, four, [1.0], top=1)[1] == [0]
    assert fuse(1, four, [1.0], ban=["d"], top=5)[1] == [0, 1, 2]
    assert fuse(1, four, [1.0], top=0)[1] == [0, 1, 2, 3]
    # The threshold is picked in total order (-0.0 before +0.0), the cut then
    # compares numerically, where +0.0 <= -0.0: both zeros stay.
    zeros = [(0, -1.0, False, [("n", 0.0)]), (0, 1.0, False, [("p", 0.0), ("q", 1.0)])]
    got = fuse(1, zeros, [1.0], top=1)
    assert got[1] == [0, 1] and f64_keys(got[2]) == f64_keys([-0.0, 0.0])
    # Banned rows keep their row and cells but are never returned; a str
    # bans its characters; every row banned returns nothing.
    got = fuse(1, four, [1.0], ban="ab", top=2)
    assert got[0] == ["a", "b", "c", "d"] and got[1] == [2, 3] and len(got[3]) == 32 and got[5] == b"\1" * 4
    assert fuse(1, four, [1.0], ban={"a": 0, "b": 0, "c": 0, "d": 0})[1:3] == ([], [])
    # The first clause (then hit) that names an id gives its object and column.
    first, second = fresh("k1"), fresh("k1")
    got = fuse(301, [(300, 1.0, False, [(first, 0.5)]), (2, 1.0, False, [("k2", 0.5, None), (second, 0.1)])],
               [1.0] * 301)
    assert got[0][0] is first and got[7] == b"\xff\x02" and len(got[3]) == 8 * 2 * 301 and len(got[5]) == 2 * 301
    assert cells(got[3])[2 * 2] == struct.pack("<d", 0.1)  # the smaller distance keeps the cell
    assert Z.nmql_fuse(0, [], [], None, None, False, [], [], None, True) == ([], [], [], b"", b"", b"", b"", b"")


def test_a_table_filled_by_exactly_its_hits_still_answers_for_absent_ids():
    # 16 and 32 distinct ids fill a table sized to the hit count: a ban or a
    # prefer hit naming an id no clause pooled must still come back (in a
    # child, so that a lookup probing a full table for ever fails the test).
    code = """
        import json, sys, nimbrel
        n = int(sys.argv[1])
        hits = [(f"h{i}", i / n) for i in range(n)]
        got = nimbrel.ZevireDarir.nmql_fuse(1, [(0, 1.0, False, hits)], [1.0], ["absent"], None, False,
                                            [([], None, [])], [(0.5, 1.0, [("absent", 0.0), ("h3", 0.0)])],
                                            None, False)
        print(json.dumps([got[1], got[2][3]]))
    """
    for n in (16, 32):
        try:
            r = subprocess.run([sys.executable, "-c", textwrap.dedent(code), str(n)], capture_output=True,
                               text=True, timeout=30)
        except subprocess.TimeoutExpired:
            pytest.fail(f"the fusion of {n} distinct ids hung")
        assert r.returncode == 0, r.stderr
        returned, boosted = json.loads(r.stdout)
        assert returned == list(range(n))
        assert boosted == 3 / n * 0.5  # h3 alone is in the pool: fully close, halved


def test_gates():
    clauses = [(0, 1.0, True, [("a", 0.1), ("b", 0.2)]), (1, 1.0, True, [("a", 0.1)]),
               (1, 1.0, False, [("b", 0.1), ("b", 0.3), ("c", 1.0)]), (0, 1.0, False, [("c", 1.0)])]
    cases = [((2, None, 0), False, [0]), ((0, 2, 0), False, [0]), ((2, 0, 0), False, [0]),
             ((0, None, 2), True, [2]),  # one should clause hitting b twice counts once
             ((0, None, 2), False, [0, 1, 2]), ((0, 0, 0), True, [0, 1, 2]), ((0, -5, -1), True, [0, 1, 2]),
             ((2 ** 64 - 1, None, 0), False, [0, 1, 2])]  # compared as signed: -1
    for gates, has_should, returned in cases:
        assert fuse(2, clauses, [1.0, 1.0], gates=gates, has_should=has_should)[1] == returned, gates


def test_fill_lookups(columns, unbuilt):
    two, three, one, _ = columns
    q = QVECS[:2].tobytes()
    hits = [(0, 1.0, True, [("a", 0.5), ("k2", 0.7), ("k5", 0.6), ("g1", 0.2), ("k3", 0.1)]),
            (1, 2.0, False, [("k1", 0.3)])]
    for sources in (two, three, one):
        tombs = Tombs({"k3", "k1"})
        got = fuse(2, hits, [1.0, 0.5], fill=[(sources, None, [(1.0, q)]), (sources, tombs, [(3.0, q), (1.0, q)])])
        assert got[6] == b"\0" * 5 + b"\1" * 6 + b"\0"
        assert tombs.log == ["len", "a", "k2", "k5", "g1", "k3"] * 2  # the native call, then the model
    # Deleted in the newest segment, live in an older: the older answers.
    k2 = lookup(two, ["k2"], q)[0]
    assert k2 == lookup(two[1:], ["k2"], q)[0] and not math.isnan(k2)
    # No lookup needed: sources, queries and tombstones are never looked at.
    both = [(0, 1.0, True, [("a", 0.5)]), (1, 1.0, True, [("a", 0.5)])]
    fuse(2, both, [1.0, 1.0], fill=[([unbuilt], Raising("len"), [(1.0, b"bad")])] * 2)
    # Nor when the column has no query entries, or the rows needing it are banned.
    fuse(2, hits, [1.0, 1.0], fill=[([unbuilt], Raising("len"), [])] * 2)
    fuse(2, [(0, 1.0, True, [("a", 0.5)]), (1, 1.0, True, [("b", 0.5)])], [1.0, 1.0], ban=["a", "b"],
         fill=[([unbuilt], Raising("in"), [(1.0, b"bad")])] * 2)
    # The hits list mutated while it is read: read up to its first length
    # or its current one, whichever is smaller; the ids read stay valid.

    class Clear:
        def __init__(self, lst, more=False):
            self.lst, self.more = lst, more

        def __float__(self):
            if self.more:
                self.lst.extend([(fresh("k7"), 0.1)] * 3)
            else:
                self.lst.clear()
            return 0.5

    for more, n in ((False, 2), (True, 3)):
        lst = [(fresh("k5"), 0.1), (fresh("k6"), 0.2), (fresh("k8"), 0.3)]
        objs = [h[0] for h in lst]
        lst[1] = (objs[1], Clear(lst, more))
        got = Z.nmql_fuse(1, [(0, 1.0, False, lst)], [1.0], None, None, False, [([], None, [])], [], None, False)
        assert len(got[0]) == n and all(a is b for a, b in zip(got[0], objs)) and got[2][:2] == [0.1, 0.5]


# ---- argument errors ---------------------------------------------------------------

def queries_err(d, n):
    return f"^queries must be whole {d}-dim little-endian f32 vectors for sources of one dim, got {n} bytes$"


def tuple_err(want, got):
    return f"^expected tuple of length {want}, but got tuple of length {got}$"


NOT_PREFIXED = "^(?!argument)"
Q = QVECS[0].tobytes()
NAN_Q = np.array([0, NAN, 0, 0], np.float32).tobytes()
# Overrides of a valid call in which both columns need lookups; "S" stands for
# the column's sources, "U" for a never built source, "W" for a dim-8 one.
ERRORS = [
    (dict(clauses=[(0, 1.0, True)]), ValueError, tuple_err(4, 3)),
    (dict(gates=(0, None)), ValueError, tuple_err(3, 2)),
    (dict(fill=[("S", None), ("S", None, [(1.0, Q)])]), ValueError, tuple_err(3, 2)),
    (dict(fill=[("S", None, [(1.0, Q, 0)])] * 2), ValueError, tuple_err(2, 3)),
    (dict(prefer=[(0.5, 1.0)]), ValueError, tuple_err(3, 2)),
    (dict(clauses="abc"), TypeError, "^argument 'clauses': Can't extract `str` to `Vec`$"),
    (dict(divs="ab"), TypeError, "^argument 'divs': Can't extract `str` to `Vec`$"),
    (dict(fill="ab"), TypeError, "^argument 'fill': Can't extract `str` to `Vec`$"),
    (dict(fill=[("ab", None, [])] * 2), TypeError, "^argument 'fill': Can't extract `str` to `Vec`$"),
    (dict(fill=[("S", None, "ab")] * 2), TypeError, "^argument 'fill': Can't extract `str` to `Vec`$"),
    (dict(prefer="ab"), TypeError, "^argument 'prefer': Can't extract `str` to `Vec`$"),
    (dict(fill=[([1], None, [])] * 2), TypeError,
     "^argument 'fill': 'int' object cannot be converted to 'ZevireDarir'$"),
    (dict(fill=[("S", None, [(1.0, bytearray(Q))])] * 2), TypeError, "^argument 'fill': "),
    (dict(clauses=[(0, 1.0, 1, [])]), TypeError, "^argument 'clauses': "),
    (dict(clauses=[(0, 1.0, True, (("a", 0.5),))]), TypeError, "^argument 'clauses': .*'PyList'"),
    (dict(gates=[0, None, 0]), TypeError, "^argument 'gates': "),
    (dict(has_should=1), TypeError, "^argument 'has_should': "),
    (dict(top="1"), TypeError, "^argument 'top': "),
    (dict(parallel=None), TypeError, "^argument 'parallel': "),
    (dict(n_cols=-1), OverflowError, NOT_PREFIXED),
    (dict(n_cols=2 ** 64), OverflowError, NOT_PREFIXED),
    (dict(clauses=[(-1, 1.0, True, [])]), OverflowError, NOT_PREFIXED),
    (dict(gates=(-1, None, 0)), OverflowError, NOT_PREFIXED),
    (dict(gates=(0, 2 ** 63, 0)), OverflowError, NOT_PREFIXED),
    (dict(gates=(0, None, -2 ** 63 - 1)), OverflowError, NOT_PREFIXED),
    (dict(top=-1), OverflowError, NOT_PREFIXED),
    (dict(divs=[1.0]), ValueError, "^nmql_fuse: 2 columns, 1 divisors, 2 fill entries$"),
    (dict(fill=[("S", None, [(1.0, Q)])]), ValueError, "^nmql_fuse: 2 columns, 2 divisors, 1 fill entries$"),
    # Native checks, in order: the column message before the hits of that clause...
    (dict(clauses=[(0, 1.0, True, [("a", 0.5)]), (2, 1.0, True, [1])]), ValueError,
     "^nmql_fuse: clause column 2 >= 2$"),
    # ... but after the hits of the clauses before it.
    (dict(clauses=[(0, 1.0, True, [["a", 0.5]]), (2, 1.0, True, [])]), TypeError,
     "^'list' object cannot be converted to 'PyTuple'$"),
    (dict(clauses=[(0, 1.0, True, [("a",)])]), IndexError, None),
    (dict(clauses=[(0, 1.0, True, [(5, 0.5)])]), TypeError, "^'int' object cannot be converted to 'PyString'$"),
    (dict(clauses=[(0, 1.0, True, [("a", None)])]), TypeError, NOT_PREFIXED),
    (dict(clauses=[(0, 1.0, True, [("a", Raising("float"))])]), Boom, "^float$"),
    (dict(prefer=[(0.5, 1.0, [("a", 0.5), ("b",)])]), IndexError, None),
    (dict(prefer=[(0.5, 1.0, [(b"a", 0.5)])]), TypeError, "^'bytes' object cannot be converted to 'PyString'$"),
    (dict(ban=["a", 5]), TypeError, "^'int' object cannot be converted to 'PyString'$"),
    (dict(ban=5), TypeError, "not iterable"),
    (dict(fill=[("S", None, [(1.0, Q[:7])])] * 2), ValueError, queries_err(DIM, 7)),
    (dict(fill=[("S", None, [(1.0, Q), (1.0, b"")])] * 2), ValueError, queries_err(DIM, 0)),
    (dict(fill=[("S", None, [(1.0, NAN_Q)])] * 2), ValueError,
     r"^query has a non-finite component at index 1 \(NaN\); a NaN/inf vector cannot be ranked$"),
    (dict(fill=[("SW", None, [(1.0, Q)])] * 2), ValueError, queries_err(DIM, 16)),
    (dict(fill=[("S", Raising("len"), [(1.0, Q)])] * 2), Boom, "^len$"),
    (dict(fill=[("S", Raising("in"), [(1.0, Q)])] * 2), Boom, "^in$"),
    # Column 0's job (queries, then tombstones) is built before column 1's.
    (dict(fill=[("S", Raising("in"), [(1.0, Q[:5])]), ("S", None, [(1.0, Q)])]), ValueError, queries_err(DIM, 5)),
    (dict(fill=[("S", Raising("in"), [(1.0, Q)]), ("S", None, [(1.0, Q[:5])])]), Boom, "^in$"),
    (dict(fill=[("SU", None, [(1.0, Q)])] * 2), RuntimeError, "^index not built/opened$"),
    (dict(fill=[("SU", {"a", "b"}, [(1.0, Q)])] * 2), RuntimeError, "^index not built/opened$"),  # all tombstoned
]


@pytest.fixture(scope="module")
def wide(tmp_path_factory):
    return build_segment(tmp_path_factory.mktemp("wide") / "seg", random_vectors(4, 8, 1), n_clusters=1)


@pytest.mark.parametrize("over,kind,message", ERRORS)
def test_argument_errors(columns, unbuilt, wide, over, kind, message):
    named = {"S": columns[0], "SU": columns[0] + [unbuilt], "SW": columns[0] + [wide]}

    def sources(fill):
        if isinstance(fill, list):
            return [(named.get(e[0], e[0]), *e[1:]) if isinstance(e, tuple) and isinstance(e[0], str) else e
                    for e in fill]
        return fill

    args = dict(n_cols=2, clauses=[(0, 1.0, True, [("a", 0.5)]), (1, 1.0, False, [("b", 0.25)])],
                divs=[1.0, 1.0], ban=None, gates=None, has_should=False, fill=[("S", None, [(1.0, Q)])] * 2,
                prefer=[], top=None, parallel=False)
    args.update(over)
    args["fill"] = sources(args["fill"])
    with pytest.raises(kind, match=message):
        Z.nmql_fuse(**args)


# ---- malformed arguments never crash -----------------------------------------------

class Mutator:
    """A distance whose float() changes the hits list being read."""

    def __init__(self, lst, how):
        self.lst, self.how = lst, how

    def __float__(self):
        if self.how == "clear":
            self.lst.clear()
        elif self.how == "grow":
            self.lst.extend([("k1", 0.1), ("zz", self)] * 50)
        elif self.how == "junk":
            self.lst[:] = [None, ("a",), 5] * 3
        elif self.how == "raise":
            raise Boom("float")
        return 0.5


class StrSub(str):
    pass


class Falsy:
    def __bool__(self):
        raise Boom("bool")


class Odd:
    """A length len() refuses (or 1), membership answered by an object whose
    truth test raises, iteration that fails half way, float() of a str."""

    def __init__(self, size):
        self.size = size

    def __len__(self):
        return self.size

    def __contains__(self, x):
        return Falsy()

    def __iter__(self):
        yield "a"
        raise Boom("iter")

    def __float__(self):
        return "0.5"


JUNK = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(-2 ** 70, 2 ** 70),
              st.sampled_from([2 ** 63, 2 ** 64, 2 ** 64 - 1, -2 ** 63 - 1, 255, 300]),
              st.floats(), st.text(max_size=3), st.binary(max_size=20),
              st.sampled_from([bytearray(b"abcd"), object(), Raising("len"), Raising("in"), Raising("float"),
                               StrSub("a"), Odd(1), Odd(2 ** 70), {"a": 1}, frozenset({"a"}), range(3)])),
    lambda inner: st.lists(inner, max_size=4).flatmap(lambda items: st.sampled_from([items, tuple(items)])),
    max_leaves=8)


def paths(obj, prefix=()):
    """Every place inside nested lists and tuples that can be replaced."""
    out = [prefix]
    if isinstance(obj, (list, tuple)) and not isinstance(obj, Z):
        for i, item in enumerate(obj):
            out += paths(item, prefix + (i,))
    return out


def replaced(obj, path, value):
    if not path:
        return value
    items = list(obj)
    items[path[0]] = replaced(items[path[0]], path[1:], value)
    return items if isinstance(obj, list) else tuple(items)


@settings(max_examples=FUZZ_EXAMPLES, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(data=st.data())
def test_malformed_arguments_raise_and_never_crash(columns, unbuilt, data):
    args = list(data.draw(fusion_args(columns + [[unbuilt]])))
    for _ in range(data.draw(st.integers(0, 3))):
        spots = paths(args)[1:]
        args = replaced(args, data.draw(st.sampled_from(spots)), data.draw(JUNK))
    lists = [p for p in paths(args)[1:] if type(replaced_get(args, p)) is list]
    if lists and data.draw(st.booleans()):
        lst = replaced_get(args, data.draw(st.sampled_from(lists)))
        lst.insert(data.draw(st.integers(0, len(lst))),
                   (fresh("k2"), Mutator(lst, data.draw(st.sampled_from(["clear", "grow", "junk", "raise"])))))
    try:
        got = Z.nmql_fuse(*args)
    except SystemError:  # an error raised without an exception set, or a leaked one
        raise
    except Exception:
        return
    assert type(got) is tuple and len(got) == 8
    assert [type(x) for x in got] == [list, list, list] + [bytes] * 5
    n_rows = len(got[0])
    assert len(got[7]) == n_rows and len(got[3]) == 8 * len(got[5]) == 8 * len(got[6]) == len(got[4])


def replaced_get(obj, path):
    for i in path:
        obj = obj[i]
    return obj
