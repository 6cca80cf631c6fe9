"""Pieces every benchmark script needs."""

import shutil
from pathlib import Path


def fresh_dir(path: Path):
    """Removes a segment directory and everything nimbrel keeps beside it."""
    for stale in (path, Path(f"{path}.lock"), Path(f"{path}.old"), Path(f"{path}.compacting"),
                  Path(f"{path}.broken")):
        if stale.is_dir():
            shutil.rmtree(stale)
        elif stale.exists():
            stale.unlink()
    return path
