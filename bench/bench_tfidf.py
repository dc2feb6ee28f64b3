"""TF-IDF engine against the straightforward Python engine, in one run.

Synthetic corpus: N documents of 300 words drawn with a Zipf law from a
lexicon sized so that N = 8,000 gives a vocabulary of about 56,000 terms.
Both engines start from the same model file of N documents (written the
straightforward way), then:

  training     per-document time of train_model for new documents on top of
               the N-document model (the engine's first training after a
               load also counts every stored text once; shown apart)
  query        scoring one query: for the reference, transform +
               cosine_similarity + full sort + page; for the engine, the
               whole search_documents (preparation and correction included);
               the engine's first query after a training, which rebuilds its
               query index, is shown apart
  search       search_documents end to end, both engines
  correction   per query word: difflib.get_close_matches over the vocabulary
               against correct_query with the same vocabulary list

The token pipeline's NLTK steps are left out of both sides (queries are
normalised and split), so the figures are the engines' own.

    PYTHONPATH=build/dev-<name>/python .venv/bin/python bench/bench_tfidf.py
"""
import argparse
import difflib
import os
import sys
import tempfile
import time
import types

import joblib
import numpy as np
from sklearn.feature_extraction.text import TfidfVectorizer
from sklearn.metrics.pairwise import cosine_similarity

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from tfidf_reference import StraightforwardFinder  # noqa: E402

from wrapper.core.TfidfFinder import TfidfFinder  # noqa: E402
from wrapper.infra import Cleanser  # noqa: E402
from wrapper.infra.Tongue import Tongue  # noqa: E402

WORDS_PER_DOC = 300
LEXICON = 56_500


def lexicon(rng):
    letters = np.array(list("abcdefghijklmnopqrstuvwxyz"))
    words = set()
    while len(words) < LEXICON:
        words.add("".join(rng.choice(letters, rng.randint(3, 13))))
    words = sorted(words)
    rng.shuffle(words)
    ranks = np.arange(1, LEXICON + 1)
    weights = 1.0 / (ranks + 2.7)
    return words, weights / weights.sum()


def documents(rng, words, weights, n):
    draws = rng.choice(len(words), size=(n, WORDS_PER_DOC), p=weights)
    return [" ".join(words[i] for i in row) for row in draws]


def typo(rng, word):
    i = rng.randint(0, len(word))
    return word[:i] + word[i + 1:] if len(word) > 5 and rng.rand() < 0.5 else word


def record(doc_id, text):
    return types.SimpleNamespace(id=doc_id, text=text, cleaned_text=text,
                                 detected_language=Tongue.ENGLISH)


def timed(fn, *args):
    start = time.perf_counter()
    result = fn(*args)
    return time.perf_counter() - start, result


def write_model(path, texts):
    vectorizer = TfidfVectorizer()
    matrix = vectorizer.fit_transform(texts)
    names = [f"doc{k}" for k in range(len(texts))]
    joblib.dump({"matrix": matrix, "vectorizer": vectorizer, "document_names": names,
                 "detected_languages": {n: Tongue.ENGLISH for n in names},
                 "cleaned_text": dict(zip(names, texts))}, path + "/td_model.pkl")


def reference_scoring(finder, corrected, page=1, per_page=10):
    scores = cosine_similarity(finder.tfidf_vectorizer.transform([corrected]),
                               finder.tfidf_matrix).flatten()
    ranked = sorted(enumerate(scores), key=lambda pair: -pair[1])
    start = (page - 1) * per_page
    return [(i, s) for i, s in ranked[start:start + per_page] if s > 0]


def run(n, trainings, queries, rng, words, weights):
    texts = documents(rng, words, weights, n + trainings)
    base, extra = texts[:n], texts[n:]
    query_texts = []
    for _ in range(queries):
        doc = base[rng.randint(0, n)].split()
        query_texts.append(" ".join(typo(rng, doc[rng.randint(0, len(doc))]) for _ in range(3)))

    with tempfile.TemporaryDirectory() as ref_dir, tempfile.TemporaryDirectory() as eng_dir:
        write_model(ref_dir, base)
        write_model(eng_dir, base)
        reference = StraightforwardFinder(ref_dir)
        engine = TfidfFinder(eng_dir)
        ref_train = [timed(reference.train_model, record(f"new{k}", t))[0]
                     for k, t in enumerate(extra)]
        eng_train = [timed(engine.train_model, record(f"new{k}", t))[0]
                     for k, t in enumerate(extra)]
        vocabulary = len(engine.tfidf_vectorizer.vocabulary_)
        assert reference.document_names == engine.document_names
        assert (reference.tfidf_matrix != engine.tfidf_matrix).nnz == 0

        # The engine's first query after a training rebuilds its query
        # index (shown apart); the loop below times the queries after it.
        first_query, _ = timed(engine.search_documents, query_texts[0], "en")
        ref_query, eng_query, ref_search, eng_search = [], [], [], []
        for q in query_texts:
            corrected = reference.correct_query(
                q, reference.tfidf_vectorizer.get_feature_names_out(), 0.9)
            t, _ = timed(reference_scoring, reference, corrected)
            ref_query.append(t)
            t, got = timed(engine.search_documents, q, "en")
            eng_query.append(t)
            t, expected = timed(reference.search_documents, q, "en")
            ref_search.append(t)
            assert got == expected
        eng_search = eng_query

        feature_list = list(engine.tfidf_vectorizer.get_feature_names_out())
        engine.correct_query("warm", feature_list, 0.9)
        query_words = [w for q in query_texts for w in q.split()]
        ref_corr = eng_corr = 0.0
        for q in query_texts:
            t, expected = timed(lambda: " ".join(
                (difflib.get_close_matches(w, feature_list, n=1, cutoff=0.9) or [w])[0]
                for w in q.split()))
            ref_corr += t
            t, got = timed(engine.correct_query, q, feature_list, 0.9)
            eng_corr += t
            assert got == expected

    def ms(values):
        return 1000 * sum(values) / len(values)

    ref_t, eng_steady = ms(ref_train[1:] or ref_train), ms(eng_train[1:] or eng_train)
    print(f"N = {n:5d}  vocabulary {vocabulary:6d} terms")
    print(f"  training per document   reference {ref_t:9.2f} ms   engine {eng_steady:8.2f} ms"
          f"   ratio {ref_t / eng_steady:7.1f}x")
    print(f"  first training after a load (reads the file)   reference "
          f"{1000 * ref_train[0]:9.2f} ms   engine {1000 * eng_train[0]:8.2f} ms")
    print(f"  first query after a training (index rebuild)   engine {1000 * first_query:8.2f} ms")
    rq, eq = ms(ref_query), ms(eng_query)
    print(f"  query (score+page)      reference {rq:9.3f} ms   engine {eq:8.3f} ms"
          f"   ratio {rq / eq:7.1f}x")
    rs, es = ms(ref_search), ms(eng_search)
    print(f"  search end to end       reference {rs:9.3f} ms   engine {es:8.3f} ms"
          f"   ratio {rs / es:7.1f}x")
    rc = 1000 * ref_corr / len(query_words)
    ec = 1000 * eng_corr / len(query_words)
    print(f"  correction per word     reference {rc:9.3f} ms   engine {ec:8.4f} ms"
          f"   ratio {rc / ec:7.1f}x")
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[500, 2000, 8000])
    parser.add_argument("--trainings", type=int, default=4)
    parser.add_argument("--queries", type=int, default=20)
    args = parser.parse_args()
    real = Cleanser.preprocess_text_for_stemmetization
    Cleanser.preprocess_text_for_stemmetization = lambda text, language=None: real(text, None)
    rng = np.random.RandomState(2024)
    words, weights = lexicon(rng)
    for n in args.sizes:
        run(n, args.trainings, args.queries, rng, words, weights)


if __name__ == "__main__":
    main()
