"""ids_matching, ids_matching_limit, count_matching and exists_matching."""

import json
import pytest

import nimbrel
from conftest import build_segment, random_vectors


def check_consistent(h, f):
    ids = h.ids_matching(f)
    assert h.count_matching(f) == len(ids)
    assert h.exists_matching(f) is (len(ids) > 0)
    for n in (0, 1, 7, len(ids) // 2, len(ids), len(ids) + 5):
        assert h.ids_matching_limit(f, n) == ids[:n]
    return ids


@pytest.mark.parametrize("n", [300, 60000])  # below and above the parallel threshold
def test_scans_agree_with_each_other_over_main_and_added_rows(tmp_path, n):
    h = build_segment(tmp_path / "seg", random_vectors(n, 2, seed=3), n_clusters=2)
    h.add("late-even", [0.0, 0.0], '{"parity": "even", "bucket": 3}')
    h.add("id1", [1.0, 1.0], '{"parity": "even", "bucket": 1}')  # upsert: listed at its new place
    h.delete("id2")
    everything = check_consistent(h, None)
    assert len(everything) == n  # + late-even - id2
    assert everything[-2:] == ["late-even", "id1"] and "id2" not in everything
    # Main rows (by row number, list by list), then added rows; the upserted
    # and deleted main rows are not listed.
    assert set(everything[:-2]) == {f"id{i}" for i in range(n)} - {"id1", "id2"}
    for f in ("", "null", "{}"):
        assert h.ids_matching(f) == everything
    evens = check_consistent(h, '{"parity": "even"}')
    assert evens[-2:] == ["late-even", "id1"] and "id2" not in evens
    assert len(evens) == n // 2 + 1  # the even main rows but id2, and the two added
    assert check_consistent(h, '{"bucket": 3, "parity": "even"}')[-1] == "late-even"
    assert check_consistent(h, '{"parity": "none"}') == []


def test_refusals_follow_the_argument_segment_filter_order(tmp_path):
    empty = nimbrel.ZevireDarir(str(tmp_path / "empty"), 2)
    for call in (lambda: empty.ids_matching("not json"), lambda: empty.count_matching(),
                 lambda: empty.exists_matching(), lambda: empty.ids_matching_limit("x", 0)):
        with pytest.raises(RuntimeError, match="^index not built/opened$"):
            call()
    h = build_segment(tmp_path / "seg", random_vectors(20, 2), n_clusters=1)
    for bad in ("NULL", " null", "[1]"):
        with pytest.raises(ValueError):
            h.count_matching(bad)
    with pytest.raises(ValueError, match="^bad filter: "):
        h.ids_matching_limit("{", 0)
    # Not cut at the NUL into the filter {"s": "x"}.
    nul = "^bad filter: parse error at byte 11: a NUL byte cannot appear in JSON text$"
    for call in (h.ids_matching, lambda f: h.search([0.0, 0.0], 1, filter_json=f)):
        with pytest.raises(ValueError, match=nul):
            call('{"s": "x"}\x00 ]]]')
    assert h.ids_matching_limit(None, 5) == h.ids_matching()[:5]
    with pytest.raises(TypeError):
        h.ids_matching_limit(limit=5)
    with pytest.raises(OverflowError):
        h.ids_matching_limit(None, -1)
    with pytest.raises(TypeError, match="^argument 'limit': "):
        h.ids_matching_limit(None, 2.0)
    with pytest.raises(TypeError, match="^argument 'filter_json': "):
        h.ids_matching(3)


def test_aggregate_by_ids_counts_live_rows_by_string_value(tmp_path):
    h = nimbrel.ZevireDarir(str(tmp_path / "agg"), 2)
    metas = [json.dumps({"color": c, "n": i}) for i, c in enumerate(["red", "blue", "red", True, "true"])]
    h.build(random_vectors(5, 2).tobytes(), 5, [f"id{i}" for i in range(5)], metas, 1)
    h.add("id1", [0.0, 0.0], '{"color": "red"}')  # upsert: counted under its new value
    h.add("bare", [1.0, 1.0], '{"n": 9}')          # no value for the field
    h.delete("id2")
    counts, resolved = h.aggregate_by_ids("color", ["id0", "id1", "id2", "id3", "id4", "bare", "never", "id0"])
    assert counts == {"red": 3, "true": 2}  # the string "true" and the boolean true count together
    assert resolved == [0, 1, 3, 4, 5, 7]
    assert h.aggregate_by_ids("color", []) == ({}, [])
    assert h.aggregate_by_ids("n", ["id0"]) is None and h.aggregate_by_ids("nope", ["id0"]) is None
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        h.aggregate_by_ids("color", "id0")
    with pytest.raises(TypeError, match="^argument 'field': "):
        h.aggregate_by_ids(1, ["id0"])


def test_scans_leave_out_deleted_and_replaced_added_rows_before_and_after_a_checkpoint(tmp_path):
    # Checked against a model of the live rows, not against each other: the
    # scans share their row test, so they agree when it is wrong.
    path = tmp_path / "seg"
    h = build_segment(path, random_vectors(200, 2, seed=4), n_clusters=4)
    model = {f"id{i}": {"parity": "odd" if i % 2 else "even"} for i in range(200)}

    def add(i, meta):
        h.add(i, [float(len(model) % 7), 1.0], json.dumps(meta))
        model[i] = meta

    def delete(i):
        assert h.delete(i) is True
        del model[i]

    def check():
        for f, keep in ((None, lambda m: True), ('{"parity": "even"}', lambda m: m["parity"] == "even"),
                        ('{"tag": "old"}', lambda m: m.get("tag") == "old"),
                        ('{"tag": "gone"}', lambda m: m.get("tag") == "gone")):
            want = sorted(i for i, m in model.items() if keep(m))
            assert sorted(h.ids_matching(f)) == want, f
            assert h.count_matching(f) == len(want), f
            assert h.exists_matching(f) is bool(want), f
            assert sorted(h.ids_matching_limit(f, len(want))) == want, f

    for n in range(12):
        add(f"d{n}", {"parity": "odd" if n % 2 else "even", "tag": "old"})
    add("gone", {"parity": "even", "tag": "gone"})
    for i in ("d0", "d3", "gone", "id6"):
        delete(i)
    for i in ("d1", "d4", "id5"):  # upserts: the replaced rows are tombstoned
        add(i, {"parity": "even", "tag": "new"})
    check()
    h.flush()  # the delta rows and their tombstones now come from delta.bin and deleted.bin
    check()
    delete("d2")
    add("d7", {"parity": "odd", "tag": "new"})
    h.close()
    h = nimbrel.ZevireDarir(str(path), 2)  # replays the log over delta.bin
    check()
