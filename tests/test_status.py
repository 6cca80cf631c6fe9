"""Status readers report only the held segment; durability settings live on the handle."""

import os
import time

import pytest

import nimbrel
from conftest import build_segment, random_vectors


def test_a_handle_without_a_segment_reports_zeros(seg_path):
    h = nimbrel.ZevireDarir(seg_path, 8)
    assert h.count() == 0
    assert h.fit_count() == 0
    assert h.wal_sync_count() == 0
    assert h.quant_scale() == 0.0 and type(h.quant_scale()) is float
    assert h.stats() == (0, 0, 0)
    with pytest.raises(RuntimeError, match=r"^index not built/opened$"):
        h.format_version()


def test_readers_do_not_reopen_after_close_but_format_version_does(seg_path):
    build_segment(seg_path, random_vectors(120, 8), n_clusters=3)
    h = nimbrel.ZevireDarir(seg_path, 8)
    assert h.count() == 120
    h.close()
    before = nimbrel.ivf_open_count()
    assert (h.count(), h.stats(), h.fit_count(), h.quant_scale()) == (0, (0, 0, 0), 0, 0.0)
    assert nimbrel.ivf_open_count() == before
    assert h.format_version() == (3, 3)
    assert nimbrel.ivf_open_count() == before + 1
    assert h.count() == 120


def test_readers_keep_reporting_the_held_segment_after_another_writer(seg_path):
    h = build_segment(seg_path, random_vectors(120, 8), n_clusters=3)
    build_segment(seg_path, random_vectors(30, 8, seed=3), n_clusters=2)
    time.sleep(0.06)
    assert h.count() == 120  # not reloaded by a status reader
    assert h.format_version() == (3, 3)  # goes through the staleness check
    assert h.count() == 30


def test_a_segment_without_format_file_reports_version_one(seg_path):
    build_segment(seg_path, random_vectors(40, 4), n_clusters=2)
    os.remove(os.path.join(seg_path, "format.bin"))
    h = nimbrel.ZevireDarir(seg_path, 4)
    assert h.format_version() == (1, 3)


def test_durability_settings_are_accepted_with_or_without_a_segment(seg_path):
    empty = nimbrel.ZevireDarir(seg_path, 4)
    assert empty.set_durability(0) is None
    assert empty.set_wal_sync_ms(250) is None
    assert empty.set_durability(interval=4294967295) is None
    assert empty.set_wal_sync_ms(ms=0) is None
    h = build_segment(seg_path, random_vectors(40, 4), n_clusters=2)
    h.set_durability(16)
    h.set_wal_sync_ms(10)
    h.close()
    assert h.count() == 0
    h.search([0.0] * 4, 1)  # reopened with the handle's settings
    assert h.wal_sync_count() == 0  # nothing logged yet
