"""Damaged files an open must not trust: a damaged id table (derived, but
consulted by every logged delete and upsert) and header files grown far
past what their format allows."""

import os
import re
import struct

import numpy as np
import pytest

import nimbrel
from conftest import build_segment, random_vectors, run_python

DIM = 8


def fnv1a64(text):
    h = 0xcbf29ce484222325
    for b in text.encode():
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return h


def flip_hash_bit_of(path, id_):
    """Flips one bit of the hash in `id_`'s entry of idhash.bin."""
    table = bytearray((path / "idhash.bin").read_bytes())
    at = next(i for i in range(0, len(table), 16) if struct.unpack_from("<Q", table, i)[0] == fnv1a64(id_))
    table[at + 3] ^= 0x10
    (path / "idhash.bin").write_bytes(table)


def test_damaged_id_table_never_loses_a_logged_delete_or_upsert(tmp_path):
    # With no checksum budget (what a big segment gets by default), the
    # open must still check the id table: replay, deletes and upserts rely
    # on its misses.
    vectors = random_vectors(400, DIM, seed=3)
    ids = [f"r{i}" for i in range(400)]
    deleted, upserted = tmp_path / "deleted", tmp_path / "upserted"
    h = build_segment(deleted, vectors, n_clusters=4, ids=ids)
    assert h.delete("r1")
    h.close()
    build_segment(upserted, vectors, n_clusters=4, ids=ids).close()
    for path in (deleted, upserted):
        flip_hash_bit_of(path, "r1")
    new = np.full(DIM, 7.0, dtype=np.float32)
    out = run_python(f"""
        import nimbrel
        h = nimbrel.ZevireDarir({str(deleted)!r}, {DIM})
        seen = [h.has_ids(["r1"]), "r1" in h.ids_matching(None), h.count()]
        h.flush()
        h.close()
        h = nimbrel.ZevireDarir({str(deleted)!r}, {DIM})
        seen += [h.has_ids(["r1"]), h.count()]
        u = nimbrel.ZevireDarir({str(upserted)!r}, {DIM})
        u.add("r1", {new.tolist()!r})
        seen += [u.count(), u.get_vectors(["r1"])[0]]
        print(repr(seen))
    """, env={"NIMBREL_VERIFY_MAX_BYTES": "0"})
    before, listed, count, after, count_after, up_count, up_vector = eval(out)
    assert (before, listed, count) == ([False], False, 399)
    assert (after, count_after) == ([False], 399)  # still deleted after a checkpoint and a fresh table
    assert up_count == 400  # the old row replaced, not left live beside the new one
    assert np.allclose(up_vector, new, atol=0.1)


def test_header_files_grown_past_their_format_are_refused_unread(tmp_path):
    # Each file in turn made sparse 100 GiB long: reading it whole would
    # exhaust memory, so an open that returns at all did not read it.
    path = tmp_path / "seg"
    h = build_segment(path, random_vectors(50, DIM, seed=4), n_clusters=2)
    h.delete("id3")
    h.flush()  # writes deleted.bin
    h.close()
    huge = 100 << 30
    for name in ("format.bin", "manifest.bin", "crcs.bin", "deleted.bin", "generation"):
        size = os.path.getsize(path / name)
        os.truncate(path / name, huge)
        try:
            if name == "generation":  # only its first 8 bytes are read
                assert nimbrel.ZevireDarir(str(path), DIM).count() == 49
                continue
            with pytest.raises(OSError, match=re.escape(f"corrupt index: {name}: size {huge} (at most ")):
                nimbrel.ZevireDarir(str(path), DIM).count()
        finally:
            os.truncate(path / name, size)
    assert nimbrel.ZevireDarir(str(path), DIM).count() == 49
