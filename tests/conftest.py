"""Shared fixtures: random float32 data and small segments built on disk."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import nimbrel


def random_vectors(n, dim, seed=0):
    return np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)


def build_segment(path, vectors, n_clusters=2, ids=None, **kwargs):
    """Builds `vectors` into `path` through a new handle and returns the handle."""
    n, dim = vectors.shape
    metas = [json.dumps({"i": i, "parity": "odd" if i % 2 else "even", "bucket": i % 10})
             for i in range(n)]
    h = nimbrel.ZevireDarir(str(path), dim)
    h.build(vectors.tobytes(), n, ids or [f"id{i}" for i in range(n)], metas, n_clusters, **kwargs)
    return h


def ids_of(hits):
    return [i for i, _ in hits]


def run_python(code, *args, env=None, inherit=True):
    """Runs `code` in a fresh interpreter (so process-wide state starts clean).

    `env` is added to this process's environment, or replaces it when
    `inherit` is false."""
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                       capture_output=True, text=True,
                       env={**os.environ, **(env or {})} if inherit else env,
                       timeout=120)
    assert r.returncode == 0, r.stderr
    return r.stdout.strip()


@pytest.fixture
def seg_path(tmp_path):
    return str(tmp_path / "seg")


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """A 3000 x 24 segment with metadata {"i", "parity", "bucket"}; read-only for tests."""
    vectors = random_vectors(3000, 24, seed=7)
    return vectors, build_segment(tmp_path_factory.mktemp("built") / "seg", vectors, n_clusters=40)
