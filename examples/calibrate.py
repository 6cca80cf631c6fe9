"""Pick nprobe for a wanted recall with calibrate_nprobe, then check the
choice against exact answers for queries the calibration never saw.

    python3 examples/calibrate.py
"""
import os
import tempfile

import numpy as np

import nimbrel

DIM, N, QUERIES, K = 32, 40_000, 100, 10
GRID = [1, 2, 4, 8, 16, 32, 64, 128]


def clustered(rng, n):
    centres = rng.normal(0.0, 1.0, size=(300, DIM))
    return (centres[rng.integers(0, 300, size=n)] + rng.normal(size=(n, DIM))).astype(np.float32)


def recall(seg, vectors, queries, nprobe, rerank):
    d2 = (queries ** 2).sum(1)[:, None] + (vectors ** 2).sum(1)[None, :] - 2.0 * queries @ vectors.T
    truth = np.argsort(d2, axis=1)[:, :K]
    found = 0
    for q, exact in zip(queries, truth):
        hits = seg.search(q.tobytes(), K, nprobe=nprobe, rerank=rerank)
        found += len({int(doc_id[4:]) for doc_id, _ in hits} & set(exact.tolist()))
    return found / (K * len(queries))


def main():
    rng = np.random.default_rng(3)
    data = clustered(rng, N + QUERIES)
    vectors, queries = data[:N], data[N:]
    with tempfile.TemporaryDirectory() as tmp:
        seg = nimbrel.ZevireDarir(os.path.join(tmp, "seg"), DIM)
        seg.build(vectors.tobytes(), N, [f"row-{i}" for i in range(N)], ["{}"] * N, 0)
        print(f"{seg.count()} rows in {int(np.sqrt(N))} lists")

        rerank = 200  # calibrate with the rerank the searches will use
        for target in (0.8, 0.9, 0.95):
            # 100 of the segment's own rows serve as sample queries; background=True
            # would run this on the maintenance pool, off the pool that serves queries.
            nprobe = seg.calibrate_nprobe(100, K, target, GRID, rerank=rerank)
            achieved = recall(seg, vectors, queries, nprobe, rerank)
            print(f"target recall@{K} {target:.2f}: nprobe {nprobe:3d}, "
                  f"held-out queries reach {achieved:.3f}")

        # The answer depends only on the segment, the arguments and the seed.
        again = seg.calibrate_nprobe(100, K, 0.95, GRID, rerank=rerank, background=True)
        print(f"the same on the maintenance pool (background=True): nprobe {again}")


if __name__ == "__main__":
    main()
