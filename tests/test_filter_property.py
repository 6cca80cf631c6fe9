"""Filtered search returns exactly the rows a plain reading of the filter accepts.

Random metadata (mixed types, missing fields, nulls, composites, numbers such
as 1 and 1.0, strings that look like numbers or start with U+0001..U+0003)
and random filters are checked against a pure-Python evaluator of the
language; the search is asked for every row, so the returned ids must be
exactly the accepted ones.
"""

import json
import random
import tempfile

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import nimbrel

FIELDS = ["a", "b", "n", "s"]  # a: anything, b: booleans, n: numbers, s: strings

# ---------------------------------------------------------------------------
# The language, read directly.


def _is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def _equal(value, operand):
    if _is_number(value) and _is_number(operand):
        return float(value) == float(operand)
    if isinstance(value, str) and isinstance(operand, str):
        return value == operand
    if isinstance(value, bool) and isinstance(operand, bool):
        return value == operand
    return False  # null equals nothing; arrays and objects equal no scalar


def _op_holds(op, operand, value):
    has = value is not None
    if op == "$exists":
        return has == operand
    if op == "$eq":
        return has and _equal(value, operand)
    if op == "$ne":
        return not (has and _equal(value, operand))
    if op in ("$in", "$nin"):
        found = has and any(_equal(value, x) for x in operand)
        return found if op == "$in" else not found
    if not has or not _is_number(value):
        return False
    v, b = float(value), float(operand)
    return {"$gt": v > b, "$gte": v >= b, "$lt": v < b, "$lte": v <= b}[op]


def accepts(flt, meta):
    for key, cond in flt.items():
        if key == "$and":
            ok = all(accepts(f, meta) for f in cond)
        elif key == "$or":
            ok = any(accepts(f, meta) for f in cond)
        elif key == "$not":
            ok = not accepts(cond, meta)
        else:
            value = meta.get(key) if isinstance(meta, dict) else None
            if isinstance(cond, dict):
                ok = all(_op_holds(op, operand, value) for op, operand in cond.items())
            else:
                ok = _op_holds("$eq", cond, value)
        if not ok:
            return False
    return True


# ---------------------------------------------------------------------------
# Rows and filters come from generators seeded by hypothesis: drawn evenly
# from small pools of awkward values, so that most filters split the rows.

NUMBERS = [0, 1, 1.0, -1, 2.5, -0.0, 3, 2**53, 2**53 + 1, 2**64 - 1, -(2**63), 1e300]
STRINGS = ["", "a", "b", "1", "1.0", "true", "null", "\x01true", "\x01false", "\x02 1",
           "\x02\"a\"", "\x03[]", "\x03" "1", "\u00e9"]
COMPOSITES = [[], {}, [1], ["a"], {"a": 1}, [[1.0], {"b": None}]]


def random_value(rng, field):
    if rng.random() < 0.12:
        return None
    if field == "n":
        return rng.choice(NUMBERS)
    if field == "s":
        return rng.choice(STRINGS)
    if field == "b":
        return rng.random() < 0.5
    return rng.choice([rng.choice(NUMBERS), rng.choice(STRINGS), rng.random() < 0.5,
                       rng.choice(COMPOSITES)])


def random_meta(rng):
    if rng.random() < 0.05:
        return rng.choice([None, 5, "n", [1, 2], True])
    return {f: random_value(rng, f) for f in FIELDS if rng.random() < 0.75}


OPERANDS_BY_FIELD = {"n": NUMBERS + [0.5, -7], "s": STRINGS + ["zz"], "b": [True, False]}
ALL_SCALARS = [None, True, False] + NUMBERS + [0.5, -7, 1e301] + STRINGS + ["zz"]


def random_operand(rng, field):
    # Mostly of the field's own type, so that filters split the rows.
    if rng.random() < 0.25:
        return rng.choice(ALL_SCALARS)
    return rng.choice(OPERANDS_BY_FIELD.get(field, ALL_SCALARS))


def random_op_object(rng, field):
    ops = {}
    for _ in range(rng.choice([0, 1, 1, 1, 2])):  # none: the empty operator object
        op = rng.choice(["$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin", "$exists"])
        if op in ("$gt", "$gte", "$lt", "$lte"):
            ops[op] = rng.choice(NUMBERS + [0.5, -7])
        elif op in ("$in", "$nin"):
            ops[op] = [random_operand(rng, field) for _ in range(rng.randrange(4))]
        elif op == "$exists":
            ops[op] = rng.random() < 0.5
        else:
            ops[op] = random_operand(rng, field)
    return ops


def random_filter(rng, depth=0):
    flt = {}
    for _ in range(1 if rng.random() < 0.7 else 2):
        kind = rng.randrange(6) if depth < 3 else 5
        if kind in (0, 1):
            flt["$and" if kind == 0 else "$or"] = [random_filter(rng, depth + 1)
                                                   for _ in range(rng.randrange(4))]
        elif kind == 2:
            flt["$not"] = random_filter(rng, depth + 1)
        else:
            field = rng.choice(FIELDS + ["absent"])
            flt[field] = (random_operand(rng, field) if rng.random() < 0.3
                          else random_op_object(rng, field))
    return flt


# ---------------------------------------------------------------------------

DIM = 4
N_CLUSTERS = 4


def build(path, rows, wide):
    if wide and isinstance(rows[0], dict):
        # Filler fields sort before the random ones and take every typed
        # column, so conditions on the random fields read the row's JSON.
        rows = [dict(rows[0], **{f"_{i:03d}": i for i in range(300)})] + rows[1:]
    n = len(rows)
    vectors = np.random.default_rng(n).standard_normal((n, DIM)).astype(np.float32)
    h = nimbrel.ZevireDarir(path, DIM)
    h.build(vectors.tobytes(), n, [f"r{i}" for i in range(n)], [json.dumps(m) for m in rows],
            N_CLUSTERS)
    return h, rows


@settings(max_examples=60, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(60, 150), n_filters=st.integers(1, 8),
       wide=st.sampled_from([False, False, False, False, True]))  # a wide build writes 256 columns
def test_filtered_search_returns_exactly_the_accepted_rows(seed, n, n_filters, wide):
    rng = random.Random(seed)
    rows = [random_meta(rng) for _ in range(n)]
    flts = [random_filter(rng) for _ in range(n_filters)]
    with tempfile.TemporaryDirectory() as tmp:
        h, rows = build(tmp + "/seg", rows, wide)
        query = [0.5] * DIM
        for flt in flts:
            text = json.dumps(flt)
            hits = h.search(query, n, nprobe=N_CLUSTERS, rerank=n, filter_json=text,
                            ensure_target_k=True)
            expected = {f"r{i}" for i, m in enumerate(rows) if accepts(flt, m)}
            assert {i for i, _ in hits} == expected, text
        h.close()

