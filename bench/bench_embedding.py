"""Embedding query latency against the number of stored documents.

The engine keeps, beside each key's list of embedding tensors, one
contiguous matrix, so a query is one matrix-vector product plus a partial
ranking of the requested page. The naive reference is the plain reading of
the ranking: np.inner of the query with the list of stored tensors (NumPy
converts every tensor on every query), a full argsort, reversed, sliced.
Both run in the same process on the same index; the query's own embedding
is a fixed tensor in both, so only the scoring and ranking are compared.
The ratio is reference time / engine time (medians).

Also printed: the time to construct the engine on the index file (joblib
read plus building the matrix).

Run: PYTHONPATH=build/dev-<name>/python .venv/bin/python bench/bench_embedding.py
"""
import os
import statistics
import sys
import tempfile
import time
import warnings

import joblib
import numpy as np
import torch

from wrapper.core.EmbeddingFinder import EmbeddingFinder

DIM = 384
SIZES = (1_000, 10_000, 100_000)

# torch's __array__ predates NumPy 2's copy keyword; the reference path
# triggers that warning on every conversion.
warnings.filterwarnings("ignore", message="__array__ implementation")


class FixedQueryModel:
    """Returns one fixed unit vector for any query (the model's own cost is
    not what is measured)."""

    def __init__(self, vector):
        self.vector = vector

    def encode(self, text, convert_to_tensor=False):
        return self.vector.clone() if convert_to_tensor else self.vector.numpy().copy()


def naive_search(model, embeddings, names, query, key, page=1, results_per_page=10):
    scores = np.inner(model.encode(query, convert_to_tensor=True), embeddings)
    ranked = np.argsort(scores, axis=None, kind="quicksort", order=None)[::-1]
    start = (page - 1) * results_per_page
    rows = []
    for position in ranked[start:start + results_per_page]:
        if not scores[position] > 0:
            break
        rows.append({"name": names[position], "Score": scores[position], "language": key})
    return query, rows


def median_seconds(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def unit(tensor):
    return tensor / tensor.norm(dim=-1, keepdim=True)


def main():
    torch.manual_seed(0)
    print(f"{'documents':>10} {'engine ms':>10} {'np.inner list ms':>17} {'ratio':>7} "
          f"{'load s':>7}")
    for n in SIZES:
        with tempfile.TemporaryDirectory() as base:
            matrix = unit(torch.randn(n, DIM))
            embeddings = [row.clone() for row in matrix]  # one tensor per document, as trained
            names = [str(i) for i in range(n)]
            model = FixedQueryModel(unit(torch.randn(DIM)))
            joblib.dump({"multilang_models": {"en": model},
                         "embedded_documents": {"en": embeddings},
                         "document_names": {"en": names}},
                        os.path.join(base, "sb_model.pkl"))
            start = time.perf_counter()
            engine = EmbeddingFinder(base, True)
            load = time.perf_counter() - start

            got = engine.search_documents("query", "en")
            want = naive_search(model, engine.embedded_documents["en"],
                                engine.document_names["en"], "query", "en")
            assert [r["Score"] for r in got[1]] == [r["Score"] for r in want[1]], "results differ"

            repeat = 50 if n <= 10_000 else 15
            fast = median_seconds(lambda: engine.search_documents("query", "en"), repeat)
            slow = median_seconds(lambda: naive_search(
                model, engine.embedded_documents["en"], engine.document_names["en"],
                "query", "en"), max(3, repeat // 5))

            print(f"{n:>10} {fast * 1e3:>10.3f} {slow * 1e3:>17.3f} {slow / fast:>7.1f} "
                  f"{load:>7.2f}")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
