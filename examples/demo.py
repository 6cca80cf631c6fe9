"""Build a segment from Python, search it, and print results and recall.

Run from the repository root after installing the module:
    python3 examples/demo.py
"""
import json
import os
import tempfile
import time

import numpy as np

import nimbrel


def gaussian_mixture(rng, n, dim, components):
    centers = rng.normal(0.0, 1.0, size=(components, dim)).astype(np.float32)
    labels = rng.integers(0, components, size=n)
    return (centers[labels] + rng.normal(0.0, 1.0, size=(n, dim))).astype(np.float32), labels


def main():
    rng = np.random.default_rng(7)
    n, dim, n_queries, k = 50_000, 64, 200, 10
    data, labels = gaussian_mixture(rng, n + n_queries, dim, 500)
    vectors, queries = data[:n], data[n:]
    ids = [f"doc-{i}" for i in range(n)]
    colours = ["red", "green", "blue"]
    metas = [json.dumps({"colour": colours[i % 3], "cluster": int(labels[i]), "rank": i})
             for i in range(n)]

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "segment")
        handle = nimbrel.ZevireDarir(path, dim, n_bits=2)
        n_clusters = int(np.sqrt(n))
        t0 = time.perf_counter()
        handle.build(vectors.tobytes(), n, ids, metas, n_clusters)
        build_s = time.perf_counter() - t0
        print(f"built {handle.count()} rows x {dim} dims into {n_clusters} lists "
              f"in {build_s:.2f} s (format {handle.format_version()[0]})")

        # Exact neighbours by brute force, for recall.
        d2 = ((queries ** 2).sum(1)[:, None] + (vectors ** 2).sum(1)[None, :]
              - 2.0 * queries @ vectors.T)
        truth = np.argsort(d2, axis=1)[:, :k]

        for nprobe in (1, 4, 16, 64):
            t0 = time.perf_counter()
            results = [handle.search(q.tobytes(), k, nprobe=nprobe) for q in queries]
            elapsed = time.perf_counter() - t0
            hits = sum(len({int(i[4:]) for i, _ in res} & set(truth[qi].tolist()))
                       for qi, res in enumerate(results))
            print(f"nprobe={nprobe:3d}: recall@{k} = {hits / (k * n_queries):.3f}, "
                  f"{n_queries / elapsed:8.0f} queries/s")

        first = handle.search(queries[0].tobytes(), 5, nprobe=16)
        print("\nnearest 5 to query 0:")
        for doc_id, dist in first:
            print(f"  {doc_id:>10}  squared L2 {dist:9.3f}")

        blue = handle.search(queries[0].tobytes(), 5, nprobe=16,
                             filter_json='{"colour": "blue", "rank": {"$lt": 25000}}')
        print('\nnearest 5 with {"colour": "blue", "rank": {"$lt": 25000}}:')
        for doc_id, dist in blue:
            print(f"  {doc_id:>10}  squared L2 {dist:9.3f}")


if __name__ == "__main__":
    main()
