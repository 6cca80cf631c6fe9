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


def default_metas(n):
    return [json.dumps({"i": i, "parity": "even" if i % 2 == 0 else "odd", "bucket": i % 10})
            for i in range(n)]


def build_segment(path, vectors, ids=None, metas=None, n_clusters=None, n_bits=2, **kwargs):
    """Builds `vectors` into `path` through a new handle and returns the handle."""
    n, dim = vectors.shape
    ids = ids if ids is not None else [f"id{i}" for i in range(n)]
    metas = metas if metas is not None else default_metas(n)
    n_clusters = n_clusters if n_clusters is not None else max(1, int(np.sqrt(n)))
    h = nimbrel.ZevireDarir(str(path), dim, n_bits)
    h.build(np.ascontiguousarray(vectors, dtype=np.float32).tobytes(), n, ids, metas, n_clusters,
            **kwargs)
    return h


def brute_force(vectors, query, k):
    d = ((vectors.astype(np.float64) - query.astype(np.float64)) ** 2).sum(axis=1)
    order = np.argsort(d, kind="stable")[:k]
    return order, d[order]


def run_python(code, *args, env=None):
    """Runs `code` in a fresh interpreter (so process-wide state starts clean)."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, env=full_env, timeout=120)


@pytest.fixture
def seg_path(tmp_path):
    return str(tmp_path / "seg")


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """A 3000 x 24 segment with metadata {"i", "parity", "bucket"}; read-only for tests."""
    path = str(tmp_path_factory.mktemp("built") / "seg")
    vectors = random_vectors(3000, 24, seed=7)
    h = build_segment(path, vectors, n_clusters=40)
    return path, vectors, h
