"""Abstract generation cost on long texts.

The native summariser ranks sentences by PageRank over their tf-idf cosine
similarities without building the sentence-pair graph (each iteration costs
the number of sentence-term pairs). The naive reference below builds that
graph pair by pair in Python and runs the textbook PageRank on it, with the
same sentences and weights, so both pick the same sentences; the ratio is
reference time / native time, measured in the same run.

Run: PYTHONPATH=build/dev-<name>/python .venv/bin/python bench/bench_abstract.py
"""
import math
import random
import re
import time

import numpy as np

import wrapper.infra as infra

SUBJECTS = ["O governo", "A prefeitura", "O Congresso", "A empresa", "O sindicato",
            "A universidade", "O tribunal", "A agência", "O banco central", "A comissão"]
VERBS = ["anunciou", "aprovou", "criticou", "defendeu", "adiou", "revisou", "propôs",
         "suspendeu", "ampliou", "reduziu"]
OBJECTS = ["a reforma tributária", "o orçamento anual", "a taxa de juros", "o plano de obras",
           "a meta fiscal", "o programa social", "a tarifa de energia", "o novo regulamento",
           "a política industrial", "o acordo comercial", "a previdência estadual",
           "o reajuste salarial"]
DETAILS = ["nesta segunda-feira", "após longa negociação", "com apoio da oposição",
           "sem consulta pública", "para o próximo ano", "em votação apertada",
           "diante da crise hídrica", "junto aos municípios", "por causa da inflação",
           "depois das eleições"]


def news_text(sentences, seed=1):
    rng = random.Random(seed)
    out = []
    for _ in range(sentences):
        out.append(f"{rng.choice(SUBJECTS)} {rng.choice(VERBS)} {rng.choice(OBJECTS)} "
                   f"{rng.choice(DETAILS)} e {rng.choice(VERBS)} {rng.choice(OBJECTS)}.")
    return " ".join(out)


STOP = {"o", "a", "os", "as", "de", "do", "da", "e", "em", "com", "sem", "para", "por",
        "após", "apos", "junto", "aos", "das", "dos", "no", "na", "depois", "nesta"}


def naive_summary(text, ratio=0.2, damping=0.85, iterations=100):
    """The direct way: a dense tf-idf matrix, the full sentence-pair
    similarity matrix, and PageRank by dense matrix-vector products."""
    sentences = [s for s in re.split(r"(?<=\.)\s+", text) if s]
    bags = [[w for w in re.findall(r"\w+", s.lower()) if w not in STOP and len(w) >= 3]
            for s in sentences]
    vocabulary = {w: k for k, w in enumerate(sorted({w for bag in bags for w in bag}))}
    n = len(sentences)
    tf = np.zeros((n, len(vocabulary)))
    for i, bag in enumerate(bags):
        for w in bag:
            tf[i, vocabulary[w]] += 1
    df = (tf > 0).sum(axis=0)
    x = tf * (1 + np.log(n / df))
    x /= np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-300)
    graph = x @ x.T
    np.fill_diagonal(graph, 0.0)
    degree = graph.sum(axis=1)
    transition = np.divide(graph, degree[:, None], out=np.zeros_like(graph),
                           where=degree[:, None] > 0)
    score = np.full(n, 1.0 / n)
    for _ in range(iterations):
        score = (1 - damping) / n + damping * (transition.T @ score)
    keep = max(1, int(n * ratio))
    best = sorted(np.argsort(-score, kind="stable")[:keep])
    return [sentences[i] for i in best]


def timed(fn, *args, repeat=1, **kwargs):
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn(*args, **kwargs)
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    for count in (200, 2000, 4000):
        text = news_text(count)
        native, summary = timed(infra.summarize, text, split=True, repeat=3)
        kw_time, _ = timed(infra.keywords, text, words=10, lemmatize=True, repeat=3)
        abstract_time, _ = timed(infra.generate_abstract, text, repeat=3)
        naive, reference = timed(naive_summary, text)
        shared = len(set(summary) & set(reference))
        print(f"{count:5d} sentences: generate_abstract {abstract_time * 1000:7.1f} ms "
              f"(summarize {native * 1000:6.1f} ms, keywords {kw_time * 1000:6.1f} ms); "
              f"pairwise reference summary {naive * 1000:8.1f} ms; "
              f"ratio reference/native {naive / native:6.1f}x; "
              f"{shared}/{len(summary)} chosen sentences in common")


if __name__ == "__main__":
    main()
