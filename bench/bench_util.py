"""Pieces every benchmark script needs."""

import shutil
import time
from pathlib import Path


def fastest(fn, passes, warm_up=False):
    """The shortest of `passes` timed calls of fn(), in seconds (after one
    untimed call when warm_up: it faults memory-mapped pages in)."""
    if warm_up:
        fn()
    times = []
    for _ in range(passes):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def fresh_dir(path: Path):
    """Removes a segment directory and everything nimbrel keeps beside it."""
    for stale in (path, Path(f"{path}.lock"), Path(f"{path}.old"), Path(f"{path}.compacting"),
                  Path(f"{path}.broken")):
        if stale.is_dir():
            shutil.rmtree(stale)
        elif stale.exists():
            stale.unlink()
    return path
