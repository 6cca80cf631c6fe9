"""Sparse and hybrid search: words become term ids, rows carry both a dense
vector and sparse (term, weight) pairs, and a query asks by words, by
vector, or by both fused.

    python3 examples/sparse_hybrid.py
"""
import collections
import json
import os
import re
import tempfile

import numpy as np

import nimbrel

DIM = 32
TOPICS = {
    "space": "rocket orbit moon launch planet star telescope crew",
    "cooking": "recipe oven flour butter sugar bake bread dough",
    "sailing": "boat wind sail harbour tide anchor crew mast",
}


class Vocabulary:
    """Maps each word to a term id (an unsigned 32-bit int) on first sight.
    The module does not tokenise: this mapping is the caller's, and the same
    one must be used for the rows and for the queries."""

    def __init__(self):
        self.ids = {}

    def terms(self, text, grow=True):
        counts = collections.Counter(re.findall(r"[a-z]+", text.lower()))
        pairs = []
        for word, n in sorted(counts.items()):
            if word not in self.ids and grow:
                self.ids[word] = len(self.ids)
            if word in self.ids:
                pairs.append((self.ids[word], float(n)))  # (term, weight): a tuple
        return pairs


def embed(text, rng_of_word):
    """A stand-in for an embedding model: the mean of fixed random word vectors."""
    words = re.findall(r"[a-z]+", text.lower())
    v = np.mean([rng_of_word(w) for w in words], axis=0)
    return (v / np.linalg.norm(v)).astype(np.float32)  # unit length: L2 ranks like cosine


def main():
    rng = np.random.default_rng(5)
    word_vectors = {}

    def rng_of_word(w):
        if w not in word_vectors:
            word_vectors[w] = rng.normal(size=DIM)
        return word_vectors[w]

    docs = []
    for i in range(600):
        topic = list(TOPICS)[i % 3]
        words = rng.choice(TOPICS[topic].split(), size=6).tolist()
        docs.append((f"doc-{i}", topic, " ".join(words)))

    vocab = Vocabulary()
    vectors = np.stack([embed(text, rng_of_word) for _, _, text in docs])
    sparse = [vocab.terms(text) for _, _, text in docs]

    with tempfile.TemporaryDirectory() as tmp:
        seg = nimbrel.ZevireDarir(os.path.join(tmp, "seg"), DIM)
        seg.build(vectors.tobytes(), len(docs), [d[0] for d in docs],
                  [json.dumps({"topic": t}) for _, t, _ in docs], 0, sparse=sparse)
        print(f"built {seg.count()} rows, {len(vocab.ids)} distinct terms")

        # A row added later carries its own terms; unknown query words are dropped.
        text = "crew launch rocket moon"
        seg.add("doc-new", embed(text, rng_of_word), '{"topic": "space"}', vocab.terms(text))

        query = "moon rocket crew"
        q_terms = vocab.terms(query, grow=False)
        q_vec = embed(query, rng_of_word)
        print(f"\nquery {query!r} -> terms {q_terms}")

        print("sparse_search (dot product of term weights, exact):")
        for doc_id, score in seg.sparse_search(q_terms, 3):
            print(f"  {doc_id:>8}  {score:5.1f}")

        print("search_hybrid (dense and sparse ranks fused, rrf_k=60):")
        for doc_id, score in seg.search_hybrid(q_vec, q_terms, 3, nprobe=8):
            print(f"  {doc_id:>8}  {score:.4f}")

        # "crew" is a space and a sailing word; the filter keeps sailing rows only.
        sailing = seg.search_hybrid(q_vec, q_terms, 3, nprobe=8, filter_json='{"topic": "sailing"}')
        print("search_hybrid with filter topic=sailing:", [doc_id for doc_id, _ in sailing])
        print("terms stored for doc-new:", seg.get_sparse(["doc-new"])[0])


if __name__ == "__main__":
    main()
