"""A plain Python reading of the multi-column fusion, kept independent of the
native code so that the two can be compared result for result.

It takes the arguments of `ZevireDarir.nmql_fuse` (already well formed: the
argument checks are tested separately) minus `parallel`, plus `lookup`: a
callable (sources, ids, query bytes) -> one distance per id, NaN where no
source holds a live row, consulting the sources newest first. The result is
the native call's 8-tuple. Floating-point operations are done one by one in
the order the fusion defines them, so that results agree to the bit.
"""

import math
import struct

import numpy as np

NAN = math.nan
U64 = 2 ** 64


def _signed(u):
    """A u64 gate threshold as the signed value it is compared as."""
    return u - U64 if u >= 2 ** 63 else u


def _total_key(x):
    """Sort key of the IEEE total order on doubles (-0.0 before +0.0)."""
    (bits,) = struct.unpack("<q", struct.pack("<d", x))
    return bits ^ 0x7FFFFFFFFFFFFFFF if bits < 0 else bits


def _div(a, b):
    """IEEE division: a zero divisor gives an infinity or NaN, not an error."""
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def _f64s(values):
    return struct.pack(f"<{len(values)}d", *values)


def fuse_model(n_cols, clauses, divs, ban, gates, has_should, fill, prefer, top, lookup):
    # ---- pooling: one row per distinct id, in clause then hit order --------
    row_of, ids, origin = {}, [], []
    for k, (_, _, _, hits) in enumerate(clauses):
        for pos, hit in enumerate(hits):
            if hit[0] not in row_of:
                row_of[hit[0]] = len(ids)
                ids.append(hit[0])
                origin.append((k, pos))
    n_rows = len(ids)
    n_cells = n_rows * n_cols
    dist = [NAN] * n_cells
    weight = [0.0] * n_cells
    matched = [0] * n_cells
    filled = [0] * n_cells
    excluded = [0] * n_rows
    worst = [None] * n_cols  # (weight, normalised distance)
    required_hit = [0] * n_cells
    should_count = [0] * n_rows
    last_should = [None] * n_rows

    for k, (c, w, required, hits) in enumerate(clauses):
        w = float(w)
        top_d = None  # the clause's largest non-NaN normalised distance
        for hit in hits:
            r = row_of[hit[0]]
            cell = r + n_rows * c
            d = _div(float(hit[1]), float(divs[c]))
            # The smallest distance keeps the cell; ties keep the earlier
            # clause, and a NaN never displaces anything (but stays if first).
            if not matched[cell] or d < dist[cell]:
                dist[cell], weight[cell] = d, w
            matched[cell] = 1
            if required:
                required_hit[cell] = 1
            elif last_should[r] != k:
                last_should[r] = k
                should_count[r] += 1
            if not math.isnan(d) and (top_d is None or d > top_d):
                top_d = d
        if top_d is not None and (worst[c] is None or worst[c][1] < top_d):
            worst[c] = (w, top_d)

    # ---- ban and gates -------------------------------------------------------
    banned = set() if ban is None else set(ban)
    for r in range(n_rows):
        if ids[r] in banned:
            excluded[r] = 1
    if gates is not None:
        req_cols, min_req, min_should = gates
        for r in range(n_rows):
            count = sum(required_hit[r + n_rows * c] for c in range(n_cols))
            if (req_cols != 0 and count < _signed(req_cols)) or (min_req is not None and count < min_req):
                excluded[r] = 1
            elif has_should and min_should != 0 and should_count[r] < min_should:
                excluded[r] = 1

    # ---- fill: one job per column with a worst hit and unhit, kept rows ------
    jobs = []
    for c in range(n_cols):
        if worst[c] is None:
            continue
        rows = [r for r in range(n_rows) if not matched[r + n_rows * c] and not excluded[r]]
        if not rows:
            continue
        sources, tombstones, queries = fill[c]
        if not queries:
            continue  # nothing to measure against: the gaps stay gaps
        id_obj = [clauses[origin[r][0]][3][origin[r][1]][0] for r in rows]
        if tombstones is None or len(tombstones) == 0:
            alive = [True] * len(rows)
        else:
            alive = [obj not in tombstones for obj in id_obj]
        jobs.append((c, rows, alive, sources, queries))

    for c, rows, alive, sources, queries in jobs:
        asked = [ids[r] for r, a in zip(rows, alive) if a]
        per_entry = []
        for w, q in queries:
            got = list(lookup(sources, asked, q)) if asked and sources else [NAN] * len(asked)
            assert len(got) == len(asked)
            it = iter(got)
            per_entry.append((float(w), [float(next(it)) if a else NAN for a in alive]))
        for j, r in enumerate(rows):
            best_w, best = per_entry[0][0], per_entry[0][1][j]
            for w, ds in per_entry[1:]:
                if ds[j] < best or math.isnan(best):
                    best_w, best = w, ds[j]
            cell = r + n_rows * c
            d = _div(best, float(divs[c]))
            if math.isnan(d):
                weight[cell], dist[cell] = worst[c]
            else:
                dist[cell], weight[cell] = d, best_w
            filled[cell] = 1

    # ---- scores: weighted mean over matched and filled cells ----------------
    scores = []
    for r in range(n_rows):
        wm = sm = dm = wf = sf = df = 0.0
        nm = nf = 0
        for c in range(n_cols):
            cell = r + n_rows * c
            if matched[cell]:
                wm += weight[cell]
                sm += weight[cell] * dist[cell]
                dm += dist[cell]
                nm += 1
            elif filled[cell]:
                wf += weight[cell]
                sf += weight[cell] * dist[cell]
                df += dist[cell]
                nf += 1
        total_w = wf + wm
        if total_w == 0.0:
            scores.append(_div(df + dm, float(nm + nf)))
        else:
            scores.append(_div(sf + sm, total_w))

    # ---- prefer boosts ----------------------------------------------------------
    if n_rows:
        for factor, divisor, hits in prefer:
            if not hits:
                continue
            factor, divisor = float(factor), float(divisor)
            es = [_div(float(h[1]), divisor) for h in hits]
            lo = hi = es[0]
            for e in es[1:]:
                if e < lo:
                    lo = e
                if e > hi:
                    hi = e
            span = hi - lo
            if span == 0.0:
                span = 1.0
            for h, e in zip(hits, es):
                r = row_of.get(h[0])
                if r is None:
                    continue
                if e < 0.0:
                    e = 0.0
                closeness = 1.0 - _div(e - lo, span)
                if closeness > 0.5:
                    scores[r] *= 1.0 - closeness * factor

    # ---- top selection ------------------------------------------------------------
    cands = [r for r in range(n_rows) if not excluded[r]]
    if not top or len(cands) <= top or any(math.isnan(scores[r]) for r in cands):
        returned = cands
    else:
        threshold = sorted((scores[r] for r in cands), key=_total_key)[top - 1]
        returned = [r for r in cands if scores[r] <= threshold]

    id_objects = [clauses[k][3][pos][0] for k, pos in origin]
    first_col = bytes(min(clauses[k][0], 255) for k, _ in origin)
    return (id_objects, returned, [scores[r] for r in returned], _f64s(dist), _f64s(weight),
            bytes(matched), bytes(filled), first_col)
