"""get_meta, get_meta_bounded and has_ids over main rows, added rows, upserts and deletes."""

import json
import os

import pytest

import nimbrel
from conftest import random_vectors, run_python


@pytest.fixture
def seg(seg_path):
    vectors = random_vectors(30, 4, seed=5)
    metas = [json.dumps({"i": i, "s": "a,b:{"}) for i in range(29)] + ["null"]
    h = nimbrel.ZevireDarir(seg_path, 4)
    h.build(vectors.tobytes(), 30, [f"id{i}" for i in range(30)], metas, 3)
    h.add("new", vectors[0] + 1, '{"z": [1, 2]}')
    h.add("bare", vectors[1] + 1)               # no metadata
    h.add("id2", vectors[2], '{"i": 2, "v": 2}')  # upsert
    h.delete("id3")
    return h


def cost(text):
    """What a text is charged: structure outside strings, at least 4 per byte."""
    commas, openers, colons = nimbrel.scan_json_text(text)
    return max(256 * colons + 288 * commas + 128 * openers, 4 * len(text.encode()))


def test_every_kind_of_id_gets_its_text_or_null(seg):
    ids = ["id0", "id2", "id3", "new", "bare", "id29", "never", "id0"]
    texts = seg.get_meta(ids)
    assert texts == ['{"i":0,"s":"a,b:{"}', '{"i":2,"v":2}', "null", '{"z":[1,2]}', "null", "null", "null",
                     '{"i":0,"s":"a,b:{"}']
    assert seg.get_meta(ids, None) == texts
    assert seg.get_meta(ids, 10**9) == texts
    assert seg.has_ids(ids) == [True, True, False, True, True, True, False, True]
    assert seg.get_meta([]) == [] and seg.has_ids([]) == [] and seg.get_meta([], 0) == []


def test_budgets_charge_texts_and_nulls_as_documented(seg):
    ids = ["id0", "id3", "new", "bare", "never"]
    real = [cost('{"i":0,"s":"a,b:{"}'), cost('{"z":[1,2]}')]
    texts, spent, nulls = seg.get_meta_bounded(ids, sum(real))
    assert (texts, spent, nulls) == (seg.get_meta(ids), sum(real), 3)
    with pytest.raises(ValueError, match="^search result exceeds max_result_bytes$"):
        seg.get_meta_bounded(ids, sum(real) - 1)
    # get_meta with a budget charges each "null" 16 too.
    assert seg.get_meta(ids, sum(real) + 3 * 16) == texts
    with pytest.raises(ValueError, match="^search result exceeds max_result_bytes$"):
        seg.get_meta(ids, sum(real) + 3 * 16 - 1)
    with pytest.raises(ValueError):
        seg.get_meta(["never"], 0)
    assert seg.get_meta_bounded(["never", "bare", "id3"], 0) == (["null"] * 3, 0, 3)
    assert seg.get_meta_bounded([], 0) == ([], 0, 0)
    # The fast upper bound charges 288 per byte while that fits.
    text = '{"z":[1,2]}'
    assert seg.get_meta_bounded(["new"], 288 * len(text), True) == ([text], 288 * len(text), 0)
    assert seg.get_meta_bounded(["new"], 288 * len(text) - 1, True) == ([text], cost(text), 0)


def test_arguments_are_refused_before_the_segment_is_touched(seg, tmp_path):
    with pytest.raises(TypeError, match="^argument 'ids': Can't extract `str` to `Vec`$"):
        seg.get_meta("id0")
    with pytest.raises(TypeError, match="^argument 'ids': "):
        seg.has_ids(["id0", 3])
    with pytest.raises(OverflowError):
        seg.get_meta(["id0"], -1)
    with pytest.raises(TypeError, match="^argument 'fast_upper': "):
        seg.get_meta_bounded(["id0"], 10, 1)
    empty = nimbrel.ZevireDarir(str(tmp_path / "never-built"), 4)
    with pytest.raises(RuntimeError, match="^index not built/opened$"):
        empty.has_ids(["x"])


def test_a_segment_without_metadata_files_rebuilds_rows_and_charges_the_keys_it_reads(seg, seg_path):
    seg.flush()
    seg.close()
    for name in ("meta.bin", "meta_off.bin", "crcs.bin"):  # an older segment
        os.remove(os.path.join(seg_path, name))
    h = nimbrel.ZevireDarir(seg_path, 4)
    assert h.get_meta(["id0"]) == ['{"i":0.0,"s":"a,b:{"}']
    assert h.get_meta(["new"]) == ['{"z":[1,2]}']  # added rows keep their texts
    with pytest.raises(ValueError):
        h.get_meta_bounded(["id0"], len("a,b:{") - 1)  # the key "a,b:{" does not fit


def test_vectors_sparse_terms_and_basis_come_back_as_stored(tmp_path):
    dim = 4
    vectors = random_vectors(80, dim, seed=9)
    sparse = [[(i % 7, 0.5), (100 + i, 2.0)] if i % 3 else [] for i in range(80)]
    h = nimbrel.ZevireDarir(str(tmp_path / "seg"), dim)
    mean, comps = [0.25] * dim, [float(i) for i in range(3 * dim)]
    h.build(vectors.tobytes(), 80, [f"id{i}" for i in range(80)], ["{}"] * 80, 4,
            sparse=sparse, pca=[mean, comps])
    h.add("new", [128.0, -1.0, 0.0, 3.0], None, [(9, 1.5), (2, -1.0)])
    h.add("id1", vectors[1] * 2)  # an upsert without sparse terms
    h.delete("id4")
    assert h.pca_basis() == (mean, comps)
    ids = ["id0", "id1", "id2", "id4", "new", "never"]
    got = h.get_vectors(ids)
    # 8-bit copies with a power-of-two scale: within half a step of the input.
    for v, want, scale in ((got[0], vectors[0], 4.0), (got[1], vectors[1] * 2, 8.0), (got[4], [128.0, -1, 0, 3], 128.0)):
        assert len(v) == dim and all(abs(a - b) <= scale / 254 + 1e-6 for a, b in zip(v, want))
    assert got[3] == [] and got[5] == []
    assert got[4][2] == 0.0 and got[4][0] == 128.0  # code 128 is 0; the largest code is the scale itself
    terms = h.get_sparse(ids)
    assert terms[0] == [] and terms[1] == [] and terms[3] == [] and terms[5] == []
    assert sorted(terms[2]) == [(2, 0.5), (102, 2.0)]
    assert terms[4] == [(9, 1.5), (2, -1.0)]  # added rows keep the order given
    # Few ids and many ids gather the main rows' terms the same way.
    many = [f"id{i}" for i in range(80)]
    assert [sorted(t) for t in h.get_sparse(many)][:63] == [sorted(t) for t in h.get_sparse(many[:63])]
    assert h.get_vectors([]) == [] and h.get_sparse([]) == []
    plain = nimbrel.ZevireDarir(str(tmp_path / "plain"), dim)
    plain.build(vectors.tobytes(), 80, [f"id{i}" for i in range(80)], ["{}"] * 80, 2)
    assert plain.pca_basis() is None


def test_damaged_stored_rows_never_crash_the_reads(tmp_path):
    # With verification off, damage that open cannot see reaches the reads:
    # postings naming rows past the end, ids that are not UTF-8, dictionary
    # codes past the dictionary. Each read answers something; none crashes.
    path = tmp_path / "seg"
    h = nimbrel.ZevireDarir(str(path), 4)
    vectors = random_vectors(40, 4, seed=2)
    h.build(vectors.tobytes(), 40, [f"id{i}" for i in range(40)],
            [json.dumps({"tag": f"t{i % 3}"}) for i in range(40)], 2, sparse=[[(i, 1.0)] for i in range(40)])
    h.close()
    sparse = bytearray((path / "sparse.bin").read_bytes())
    terms = int.from_bytes(sparse[:8], "little")
    postings = 8 + 8 * terms
    sparse[postings:postings + 4] = (0xFFFFFFFF).to_bytes(4, "little")  # the first posting's row
    (path / "sparse.bin").write_bytes(bytes(sparse))
    ids = bytearray((path / "ids.bin").read_bytes())
    ids[0:2] = b"\xff\xfe"
    (path / "ids.bin").write_bytes(bytes(ids))
    codes = bytearray((path / "str_0.bin").read_bytes())
    codes[0:4] = (12345).to_bytes(4, "little")
    (path / "str_0.bin").write_bytes(bytes(codes))
    out = run_python("""
        import sys, nimbrel
        h = nimbrel.ZevireDarir(sys.argv[1], 4)
        ids = [f"id{i}" for i in range(40)]
        print(len(h.get_sparse(ids)), len(h.get_sparse(ids[:3])), len(h.get_vectors(ids)),
              len(h.get_meta(ids)), len(h.ids_matching()), h.count_matching('{"tag": "t1"}'),
              "" in h.ids_matching())
    """, path, env={"NIMBREL_VERIFY_MAX_BYTES": "0"})
    assert out.split()[:5] == ["40", "3", "40", "40", "40"]
    assert out.split()[6] == "True"  # the row whose id bytes are not UTF-8 lists as ""
