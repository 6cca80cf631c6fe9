"""Speed of the JSON structure scanners against Python's own byte counting.

    python bench/bench_scan.py [--mb 100]

A JSON document of about --mb megabytes (objects with strings that hold
commas, colons, braces, escaped quotes and backslashes) is fed to
`scan_json_chunk` in 1 MiB chunks, each call given the state the previous
one returned, on one thread. The floor beside it is four `bytes.count`
passes over the same chunks (commas, "[", "{", colons), which ignore
strings altogether and so do less than the scanner must. Target: the
scanner within 1.5x the floor's time. The fastest of 5 passes counts.
"""

import argparse
import json
import os
import random
import time

os.environ.setdefault("RAYON_NUM_THREADS", "1")
import nimbrel  # noqa: E402

CHUNK = 1 << 20


def document(megabytes, seed=0):
    rng = random.Random(seed)
    words = ["alpha", "beta", 'gamma, "delta"', "epsilon: x", "{zeta}", "eta\\theta"]
    rows, size = [], 0
    while size < megabytes << 20:
        row = json.dumps({"id": f"doc-{len(rows)}", "title": " ".join(rng.choice(words) for _ in range(8)),
                          "tags": [rng.choice("abc") for _ in range(5)], "score": rng.random(),
                          "nested": {"k": [1, 2, {"z": "q\\\\"}]}})
        rows.append(row)
        size += len(row) + 1
    return ("[" + ",".join(rows) + "]").encode()


def fastest(fn, passes=5):
    best, result = float("inf"), None
    for _ in range(passes):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=100, help="document size in MiB (default 100)")
    args = parser.parse_args()
    doc = document(args.mb)
    chunks = [doc[i:i + CHUNK] for i in range(0, len(doc), CHUNK)]

    def scan():
        state, totals = 0, [0, 0, 0]
        for chunk in chunks:
            commas, openers, colons, state = nimbrel.scan_json_chunk(chunk, state)
            totals[0] += commas
            totals[1] += openers
            totals[2] += colons
        return totals

    def floor():
        return [sum(c.count(b",") for c in chunks), sum(c.count(b"[") + c.count(b"{") for c in chunks),
                sum(c.count(b":") for c in chunks)]

    scan_s, counts = fastest(scan)
    floor_s, _ = fastest(floor)
    gb = len(doc) / 1e9
    print(f"JSON document {len(doc) / 1e6:.0f} MB in {len(chunks)} chunks of 1 MiB, one thread "
          f"({os.cpu_count()} cores, {os.uname().machine})")
    print(f"  scan_json_chunk          {gb / scan_s:6.2f} GB/s   counts (commas, openers, colons) = {counts}")
    print(f"  4 x bytes.count (floor)  {gb / floor_s:6.2f} GB/s")
    verdict = "ok" if scan_s <= 1.5 * floor_s else "MISSED"
    print(f"  scan time / floor time   {scan_s / floor_s:6.2f}x    target <= 1.50x {verdict}")


if __name__ == "__main__":
    main()
