"""distances_to_many, meta_status_across and meta_status_columns over a column
of segments, newest first, against plain Python models built from each
segment's own answers (search distances, get_meta, has_ids)."""

import json
import math
import os
import struct

import numpy as np
import pytest

import nimbrel
from conftest import random_vectors

Z = nimbrel.ZevireDarir
DIM = 8
NOT_OPENED = "^index not built/opened$"


def make(path, ids, metas, seed):
    h = Z(str(path), DIM)
    h.build(random_vectors(len(ids), DIM, seed).tobytes(), len(ids), ids, metas, 4)
    return h


def meta(i, src):
    return json.dumps({"src": src, "i": i, "half": i / 2, "tags": [src, i % 3]})


@pytest.fixture(scope="module")
def column(tmp_path_factory):
    """[new, mid, old, legacy]: overlapping ids k0..k319, deletes and added rows
    in each; `legacy` has lost its metadata texts (rebuilt from typed columns)."""
    d = tmp_path_factory.mktemp("across")
    extra = random_vectors(4, DIM, seed=9)
    old = make(d / "old", [f"k{i}" for i in range(300)], [meta(i, "old") for i in range(300)], 1)
    mid = make(d / "mid", [f"k{i}" for i in range(100, 250)], [meta(i, "mid") for i in range(100, 250)], 2)
    new = make(d / "new", [f"k{i}" for i in range(200, 280)],
               ["null" if 210 <= i < 215 else meta(i, "new") for i in range(200, 280)], 3)
    for i in range(120, 130):
        mid.delete(f"k{i}")
    mid.add("k260", extra[0], '{"i": 260}')
    for i in range(200, 205):
        new.delete(f"k{i}")
    new.add("k290", extra[1], meta(290, "new+"))
    new.add("extra", extra[2])  # null metadata, nowhere else
    path = d / "legacy"
    leg = make(path, [f"k{i}" for i in range(280, 320)], [meta(i, "leg") for i in range(280, 320)], 4)
    leg.add("L-delta", extra[3], '{"i": 1.0}')
    leg.flush()
    leg.close()
    for name in ("meta.bin", "meta_off.bin", "crcs.bin"):
        os.remove(path / name)
    return [new, mid, old, Z(str(path), DIM)]


ALL_IDS = [f"k{i}" for i in range(330)] + ["extra", "L-delta", "k5", "k250", "nowhere"]


def same(a, b):
    """Equal lists of floats, NaN equal to NaN, bit for bit otherwise."""
    return len(a) == len(b) and all(struct.pack("<d", x) == struct.pack("<d", y) for x, y in zip(a, b))


# ---- distances -------------------------------------------------------------------

def exact(seg, q):
    """Every live row's distance to q, as dense search reports it."""
    return dict(seg.search(q.tobytes(), seg.count() + 10, nprobe=1000, rerank=100000, ensure_target_k=True))


def model_distances(sources, ids, queries):
    tables = [[exact(s, q) for q in queries] for s in sources]
    out = []
    for i in ids:
        hit = next((t for t in tables if i in t[0]), None)
        out.append(min(t[i] for t in hit) if hit else math.nan)
    return out


def test_distances_come_from_the_first_source_holding_the_id_live(column):
    queries = random_vectors(3, DIM, seed=11)
    qb = queries.tobytes()
    want = model_distances(column, ALL_IDS, queries)
    assert math.isnan(want[ALL_IDS.index("nowhere")]) and not math.isnan(want[ALL_IDS.index("k120")])
    for parallel in (True, False):
        got = Z.distances_to_many([(column, ALL_IDS, qb), (column[2:3], ALL_IDS, qb)], parallel)
        assert same(got[0], want)
        assert same(got[1], model_distances(column[2:3], ALL_IDS, queries))  # one source
    # Around the 64-id threshold and the 32-id chunks: the same values.
    for n in (1, 31, 32, 33, 63, 64, 65, 97):
        assert same(Z.distances_to_many([(column, ALL_IDS[100:100 + n], qb)])[0], want[100:100 + n])
    # The closer of two queries wins; a repeated id is answered at each place.
    far = (queries[0] + 100).astype(np.float32)
    two = Z.distances_to_many([(column, ["k7", "k7", "k230"], np.stack([far, queries[0]]).tobytes())])[0]
    assert same(two, model_distances(column, ["k7", "k7", "k230"], queries[:1]))


def test_distance_job_edge_cases(column, tmp_path):
    q = random_vectors(1, DIM, seed=2).tobytes()
    assert Z.distances_to_many([]) == []
    got = Z.distances_to_many([([], ["a", "b"], b""), (column, [], q)])
    assert all(map(math.isnan, got[0])) and len(got[0]) == 2 and got[1] == []
    empty = Z(str(tmp_path / "empty"), DIM)
    with pytest.raises(RuntimeError, match=NOT_OPENED):  # all segments are obtained first
        Z.distances_to_many([(column + [empty], ["k1"], q)])
    with pytest.raises(RuntimeError, match=NOT_OPENED):  # the first job's result is dropped
        Z.distances_to_many([(column, ["k1"], q), ([empty], ["k1"], q)])

    class Bytes(bytes):
        pass

    assert same(Z.distances_to_many([(column, ["k1"], Bytes(q))])[0], Z.distances_to_many([(column, ["k1"], q)])[0])


def queries_err(d, n):
    return f"^queries must be whole {d}-dim little-endian f32 vectors for sources of one dim, got {n} bytes$"


def test_distance_argument_errors(column, tmp_path):
    q = random_vectors(1, DIM, seed=2).tobytes()
    four = Z(str(tmp_path / "four"), 4)
    cases = [
        ("abc", TypeError, "^argument 'jobs': Can't extract `str` to `Vec`$"),
        (5, TypeError, "^argument 'jobs': 'int' object cannot be converted to 'Sequence'$"),
        ([[column, [], q]], TypeError, "^argument 'jobs': 'list' object cannot be converted to 'PyTuple'$"),
        ([(column, [])], ValueError, "^expected tuple of length 3, but got tuple of length 2$"),
        ([([1], [], q)], TypeError, "^argument 'jobs': 'int' object cannot be converted to 'ZevireDarir'$"),
        ([(column, "k1", q)], TypeError, "^argument 'jobs': Can't extract `str` to `Vec`$"),
        ([(column, [1], q)], TypeError, "^argument 'jobs': 'int' object cannot be converted to 'PyString'$"),
        ([(column, [], bytearray(q))], TypeError, "^argument 'jobs': 'bytearray' object cannot be converted"),
        ([(column, [], b"")], ValueError, queries_err(DIM, 0)),  # checked even without ids
        ([(column, ["k1"], q[:7])], ValueError, queries_err(DIM, 7)),
        ([(column, ["k1"], q + q[:4])], ValueError, queries_err(DIM, 36)),
        ([([four] + column, ["k1"], q)], ValueError, queries_err(4, 32)),
        ([(column, ["k1"], q), (column, ["k1"], q[:4])], ValueError, queries_err(DIM, 4)),
    ]
    for jobs, kind, message in cases:
        with pytest.raises(kind, match=message):
            Z.distances_to_many(jobs)
    with pytest.raises(TypeError, match="^argument 'parallel': "):
        Z.distances_to_many([], parallel=1)
    # Finiteness and the norm limit apply to the job's queries as one run.
    bad = np.zeros((2, DIM), np.float32)
    bad[1, 1] = np.nan
    with pytest.raises(ValueError, match=r"^query has a non-finite component at index 9 \(NaN\); "):
        Z.distances_to_many([(column, ["k1"], bad.tobytes())])
    big = np.zeros((4, DIM), np.float32)
    big[:, 0] = 2.0 ** 62  # each 2^124, three together pass, four exceed 8.507e37
    assert len(Z.distances_to_many([(column, ["k1"], big[:3].tobytes())])[0]) == 1
    with pytest.raises(ValueError, match=r"^query is too large to rank: .* \(limit 8\.5070586659632215e37\)$"):
        Z.distances_to_many([(column, ["k1"], big.tobytes())])


# ---- metadata status ---------------------------------------------------------------

def canon(text):
    def reject(c):
        raise ValueError(c)
    try:
        return json.dumps(json.loads(text, parse_constant=reject), separators=(",", ":"), sort_keys=True,
                          ensure_ascii=False)
    except ValueError:
        return None


def eq_by_value(a, b):
    num = lambda x: isinstance(x, (int, float)) and not isinstance(x, bool)  # noqa: E731
    if num(a) and num(b):
        return a == b
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(eq_by_value(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(map(eq_by_value, a, b))
    return a == b


def model_status(sources, ids, metas, by_value):
    """by_value: per source, the ids whose main row is compared by value."""
    live = [dict(zip(ids, s.has_ids(ids))) for s in sources]
    stored = [dict(zip(ids, s.get_meta(ids))) for s in sources]
    out = []
    for i, given in zip(ids, metas):
        st, c = 0, canon(given)
        for k in range(len(sources)):
            if not live[k][i]:
                continue
            text = stored[k][i]
            if c is not None and c == text:
                st = 1
            elif text == "null":
                continue
            elif c is None:
                st = 2
            else:
                st = 1 if i in by_value[k] and eq_by_value(json.loads(text), json.loads(c)) else 2
            break
        out.append(st)
    return bytes(out)


def givens(column, ids):
    """Per id, one of several comparands derived from its first live row's text."""
    out = []
    for j, i in enumerate(ids):
        texts = [s.get_meta([i])[0] for s in column if s.has_ids([i])[0]]
        first = json.loads(texts[0]) if texts and texts[0] != "null" else {"i": 0}
        as_float = {k: float(v) if type(v) is int else v for k, v in first.items()}
        out.append([json.dumps(dict(reversed(list(first.items())))), json.dumps(as_float), '{"i": -1}', '{"i":',
                    "", "null", "NaN", texts[-1] if texts else "{}"][j % 8])
    return out


def test_statuses_follow_the_rules_newest_first(column):
    # Rows only the legacy segment holds: its main rows' texts are rebuilt
    # from typed columns (numbers as doubles) and compared by value; its
    # added row keeps its canonical text and is compared as text.
    ids = ALL_IDS + ["k305", "k306", "L-delta"]
    metas = givens(column, ids)
    metas[-3] = json.dumps({"tags": ["leg", 2], "i": 305, "src": "leg", "half": 152.5})
    metas[-2], metas[-1] = json.dumps({"half": 153, "src": "leg", "i": 306}), '{"i": 1}'
    legacy_main = {f"k{i}" for i in range(280, 320)}
    want = model_status(column, ids, metas, [set(), set(), set(), legacy_main])
    assert want[-3:] == bytes([1, 2, 2])  # 306 lacks "tags"
    assert set(want) == {0, 1, 2}
    for parallel in (True, False):
        assert Z.meta_status_across(column, ids, metas, parallel) == want
    for n in (255, 256, 257):
        assert Z.meta_status_across(column, ids[:n], metas[:n]) == want[:n]
    rows = [3, 1, 3, 300, 0, len(ids) - 1]
    cols = [(column, None), (column[1:], rows), ([], None), (column[3:], [len(ids) - 3, len(ids) - 1, len(ids) - 2])]
    across_1 = model_status(column[1:], [ids[r] for r in rows], [metas[r] for r in rows], [set(), set(), legacy_main])
    expect = [[k for k, s in enumerate(want) if s == 2], [r for r, s in zip(rows, across_1) if s == 2], [],
              [len(ids) - 1, len(ids) - 2]]
    for parallel in (True, False):
        assert Z.meta_status_columns(cols, ids, "\n".join(metas), parallel) == expect


def test_integers_at_the_limits_equal_a_stored_double_only_at_its_exact_value(column, tmp_path):
    # A segment that lost its metadata texts rebuilds them from the typed
    # columns, numbers as doubles: 2^63, 2^64 - 1 and 2^53 + 1 come back
    # rounded, and a given integer equals one only at its exact value (a
    # double at 2^63 or above fits no signed 64-bit integer).
    edges = ["9223372036854775808", "-9223372036854775808", "9223372036854775807", "18446744073709551615",
             "9007199254740993", "9007199254740992"]
    ids = [f"e{i}" for i in range(len(edges))]
    path = tmp_path / "edges"
    make(path, ids, ['{"v": %s}' % v for v in edges], 5).close()
    for name in ("meta.bin", "meta_off.bin", "crcs.bin"):
        os.remove(path / name)
    sources = [column[0], Z(str(path), DIM)]  # the newer one holds none of them
    givens = edges + ["9223372036854775808.0", "-9223372036854775808.0", "1.8446744073709552e19"]
    pairs = [(i, g) for i in ids for g in givens]
    stored = dict(zip(ids, sources[1].get_meta(ids)))
    # Python compares an int with a float by exact value.
    want = bytes(1 if json.loads(stored[i])["v"] == json.loads(g) else 2 for i, g in pairs)
    asked, metas = [i for i, _ in pairs], ['{"v": %s}' % g for _, g in pairs]
    assert want[:len(givens)] == bytes([1, 2, 2, 2, 2, 2, 1, 2, 2])  # 2^63 is not -2^63 nor 2^63 - 1
    assert want[3 * len(givens):4 * len(givens)] == bytes([2] * 8 + [1])  # 2^64 - 1 is no double
    for parallel in (True, False):
        assert Z.meta_status_across(sources, asked, metas, parallel) == want
        assert Z.meta_status_columns([(sources, None)], asked, "\n".join(metas), parallel) == \
            [[k for k, st in enumerate(want) if st == 2]]


def test_status_edge_cases(column, tmp_path):
    new, mid, old, _ = column
    assert Z.meta_status_across([], ["k1", "k2"], ["{}", "{}"]) == b"\0\0"
    assert Z.meta_status_across(column, [], []) == b""
    o = json.loads(old.get_meta(["k1"])[0])
    assert Z.meta_status_across(column, ["k1"], [json.dumps(dict(reversed(list(o.items()))))]) == b"\1"
    # The newest live row decides, however the older rows compare.
    assert Z.meta_status_across([mid, old], ["k230", "k120"], [meta(230, "old"), meta(120, "old")]) == b"\2\1"
    # Null stored in the newest: the next source decides; nowhere else: 0.
    assert Z.meta_status_across(column, ["k211", "extra"], [meta(211, "mid"), "{}"]) == b"\1\0"
    assert Z.meta_status_across(column, ["extra", "k211"], ["null", "null"]) == b"\1\1"
    empty = Z(str(tmp_path / "empty"), DIM)
    with pytest.raises(RuntimeError, match=NOT_OPENED):
        Z.meta_status_across(column + [empty], ["k1"], ["{}"])
    with pytest.raises(RuntimeError, match=NOT_OPENED):
        Z.meta_status_columns([(column, None), ([empty], None)], [], "")
    # Columns: no ids ignores the text; one id may have the empty text.
    assert Z.meta_status_columns([(column, None)] * 2, [], "not json\n\n") == [[], []]
    with pytest.raises(ValueError, match="^a row index is out of range for 0 ids$"):
        Z.meta_status_columns([(column, [0])], [], "")
    with pytest.raises(ValueError, match="^2 ids but 3 metadata$"):
        Z.meta_status_columns([(column, None)], ["k1", "k2"], "{}\n{}\n")
    assert Z.meta_status_columns([(column, None)], ["k1"], "") == [[0]]
    assert Z.meta_status_columns([(column, [3, 1, 2])], ["k1", "k2", "k3", "k4"], "{}\n{}\n{}\n{}") == [[3, 1, 2]]
    with pytest.raises(ValueError, match="^a row index is out of range for 2 ids$"):
        Z.meta_status_columns([(column, [1]), (column, [2])], ["k1", "k2"], "{}\n{}")


def test_status_argument_errors(column):
    cases = [
        (Z.meta_status_across, ("x", [], []), TypeError, "^argument 'sources': Can't extract `str` to `Vec`$"),
        (Z.meta_status_across, ([1], [], []), TypeError, "^argument 'sources': 'int' object cannot be converted"),
        (Z.meta_status_across, (column, ["k1"], "{}"), TypeError, "^argument 'metas': Can't extract"),
        (Z.meta_status_across, (column, ["k1", "k2"], ["{}"]), ValueError, "^2 ids but 1 metadata$"),
        (Z.meta_status_across, (column, [], [], 0), TypeError, "^argument 'parallel': "),
        (Z.meta_status_columns, ([(column, None, 1)], [], ""), ValueError,
         "^expected tuple of length 2, but got tuple of length 3$"),
        (Z.meta_status_columns, ([[column, None]], [], ""), TypeError, "^argument 'columns': 'list' object"),
        (Z.meta_status_columns, ([(column, ["0"])], [], ""), TypeError, "^argument 'columns': "),
        (Z.meta_status_columns, ([(column, [-1])], ["k1"], "{}"), OverflowError, "^(?!argument)"),
        (Z.meta_status_columns, ([], [], ["{}"]), TypeError, "^argument 'metas': 'list' object"),
        (Z.meta_status_columns, ([], "k1", ""), TypeError, "^argument 'ids': Can't extract"),
    ]
    for method, args, kind, message in cases:
        with pytest.raises(kind, match=message):
            method(*args)
