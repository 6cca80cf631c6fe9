"""Merge several segments into a new one, leaving out ids deleted elsewhere.

A collection kept as segments (oldest to newest) is compacted by merging
them: an id live in several segments is taken from the later one, rows
deleted in their own segment are dropped, and the ids the caller deleted
in other segments (its tombstones) are left out and reported.

    python3 examples/merge.py
"""
import json
import os
import tempfile

import numpy as np

import nimbrel

DIM = 24


def make_segment(path, first, count, version, rng):
    """Rows item-{first} .. item-{first + count - 1}, metadata naming the segment."""
    vectors = rng.normal(size=(count, DIM)).astype(np.float32)
    seg = nimbrel.ZevireDarir(path, DIM)
    seg.build(vectors.tobytes(), count, [f"item-{i}" for i in range(first, first + count)],
              [json.dumps({"version": version}) for _ in range(count)], 0)
    return seg


def main():
    rng = np.random.default_rng(11)
    with tempfile.TemporaryDirectory() as tmp:
        # Three segments, oldest first; they overlap: item-800.. and item-1600.. were rewritten.
        dirs = [os.path.join(tmp, f"seg-{n}") for n in range(3)]
        old = make_segment(dirs[0], 0, 1000, 0, rng)
        make_segment(dirs[1], 800, 1000, 1, rng)
        newest = make_segment(dirs[2], 1600, 1000, 2, rng)
        old.delete("item-5")             # deleted in its own segment: not merged, not reported
        newest.add("item-9000", rng.normal(size=DIM), '{"version": 2}')  # in the log: merged too
        tombstones = ["item-7", "item-900", "item-1700", "item-1700", "no-such-id"]

        out = os.path.join(tmp, "merged")
        rows, dropped = nimbrel.merge_segments(
            out, dirs, tombstones,
            0,                      # n_clusters: 0 = floor(sqrt(rows written))
            old.quant_scale(),      # scale of the 8-bit copies: shared with an input (0.0 derives it)
            [],                     # skip: every metadata field gets a typed column
            None,                   # pca: no basis to store
            2)                      # n_bits of the new codes
        print(f"merged {rows} rows; dropped ids (once per live row left out): {dropped}")

        merged = nimbrel.ZevireDarir(out, DIM)
        print(f"count {merged.count()}, lists fitted on {merged.fit_count()} rows")
        for version in range(3):
            n = merged.count_matching(json.dumps({"version": version}))
            print(f"  rows taken from seg-{version}: {n}")
        print("item-1000 comes from the later segment:", merged.get_meta(["item-1000"])[0])
        print("has item-5, item-7, item-9000:", merged.has_ids(["item-5", "item-7", "item-9000"]))

        # The output must be a new directory: merging into an input is refused.
        try:
            nimbrel.merge_segments(dirs[0], dirs, [], 0, 0.0, [], None, 2)
        except OSError as e:
            print("refused:", e)


if __name__ == "__main__":
    main()
