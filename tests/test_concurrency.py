"""The caches kept between calls (spaCy pipeline, detection network, TF-IDF
query and vocabulary indexes, embedding matrices, stop words, combining
classes) when calls come from several threads at once: every result equals
the sequential one, and no shared object is used by two calls at a time.

Threads start together at a barrier and the interpreter switches threads
as often as it can, so that calls interleave inside the native code."""
import concurrent.futures
import difflib
import os
import random
import sys
import threading
import time
import unicodedata

import numpy as np
import pytest
import spacy
from spacy.language import Language

import tiny_ner_model
from conftest import needs_nltk_data
from tiny_darknet import write_random_network
from wrapper.core.EmbeddingFinder import EmbeddingFinder
from wrapper.core.File import File
from wrapper.core.TfidfFinder import TfidfFinder
from wrapper.infra import Cleanser, ClipScanner, EntityTagger, PictureScanner
from wrapper.infra.Tongue import Tongue
import wrapper.core.EmbeddingEncoder as encoder_module

WORKERS = 6


@pytest.fixture(autouse=True)
def frequent_switches():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def threaded(calls, workers=WORKERS):
    """Runs every call on each of `workers` threads, all released at once;
    returns, per thread, the list of results in call order."""
    barrier = threading.Barrier(workers)

    def work(offset):
        barrier.wait()
        # Each thread walks the calls from a different place, so that
        # different calls overlap.
        order = [(offset + k) % len(calls) for k in range(len(calls))]
        results = [None] * len(calls)
        for k in order:
            results[k] = calls[k]()
        return results

    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        return list(pool.map(work, [w * len(calls) // workers for w in range(workers)]))


def record(doc_id, text, language=Tongue.PORTUGUESE):
    r = File.__new__(File)
    r.id, r.text, r.cleaned_text, r.detected_language = doc_id, text, text, language
    return r


WORDS = ("governo economia inflacao juros futebol campeonato saude vacina escola "
         "professor chuva cidade mercado estrada ponte rio musica teatro").split()


def random_text(rng, n=6):
    return " ".join(rng.choice(WORDS) for _ in range(n))


def typo(rng, word):
    k = rng.randrange(len(word))
    return word[:k] + rng.choice("aeiou") + word[k + 1:]


# ---- text preparation ----------------------------------------------------------------


def py_remove_accents(text):
    return "".join(c for c in unicodedata.normalize("NFD", text) if not unicodedata.combining(c))


def test_combining_classes_filled_from_many_threads_agree_with_unicodedata():
    # Decomposable letters of many scripts, drawn afresh each run, so that
    # threads fill the per-code-point table at the same time.
    rng = random.Random(time.time_ns())
    letters = [chr(c) for c in range(0x300, 0x3000)
               if unicodedata.decomposition(chr(c)) or unicodedata.combining(chr(c))]
    texts = ["".join(rng.choice(letters) for _ in range(400)) for _ in range(24)]
    calls = [lambda t=t: Cleanser.remove_accents(t) for t in texts]
    expected = [py_remove_accents(t) for t in texts]
    for results in threaded(calls):
        assert results == expected


@needs_nltk_data
def test_stop_words_cached_per_language_from_many_threads():
    from nltk.corpus import stopwords
    from nltk.tokenize import word_tokenize

    for name in ("english", "portuguese", "spanish"):  # NLTK's own lazy loading, first
        stopwords.words(name)
        word_tokenize("warm up", language=name)
    texts = [("The cats are running over the bridges and the rivers", Tongue.ENGLISH),
             ("Os gatos estão correndo sobre as pontes e os rios", Tongue.PORTUGUESE),
             ("Los gatos están corriendo sobre los puentes y los ríos", Tongue.SPANISH)] * 4
    calls = [lambda t=t, lang=lang: Cleanser.preprocess_text_for_stemmetization(t, lang)
             for t, lang in texts]
    results = threaded(calls)
    expected = [call() for call in calls]
    assert all(r == expected for r in results)
    assert expected[0] == (["cat", "run", "bridg", "river"], "cat run bridg river")


# ---- named entities ---------------------------------------------------------------------

OVERLAPS = []


class OverlapProbe:
    """A pipeline step that notes when two calls are inside one pipeline."""

    def __init__(self):
        self.active = 0

    def __call__(self, doc):
        self.active += 1
        if self.active > 1:
            OVERLAPS.append(doc.text)
        time.sleep(0.002)
        self.active -= 1
        return doc


@Language.factory("overlap_probe")
def make_overlap_probe(nlp, name):
    return OverlapProbe()


def test_entity_pipeline_is_never_run_by_two_threads_at_once(tmp_path, monkeypatch):
    if spacy.util.is_package(tiny_ner_model.MODEL_NAME):
        pytest.skip("a real model of that name is installed")
    nlp = spacy.blank("xx")
    nlp.add_pipe("entity_ruler").add_patterns(tiny_ner_model.PATTERNS)
    nlp.add_pipe("overlap_probe")
    nlp.to_disk(tmp_path / tiny_ner_model.MODEL_NAME)
    monkeypatch.chdir(tmp_path)
    loads = []
    real_load = spacy.util.load_model_from_path
    monkeypatch.setattr(spacy.util, "load_model_from_path",
                        lambda *a, **k: loads.append(a[0]) or real_load(*a, **k))
    texts = ["Maria Silva went to Lisbon", "ACME opened in lisbon", "nothing here",
             "acme, Acme and ACME", "Lisbon " * 50]
    expected = [EntityTagger.extract_named_entities(t) for t in texts]
    assert expected[0] == [("Maria Silva", "PER"), ("Lisbon", "LOC")]
    del OVERLAPS[:]
    calls = [lambda t=t: EntityTagger.extract_named_entities(t) for t in texts]
    for results in threaded(calls):
        assert results == expected
    assert OVERLAPS == []
    # The kept pipeline still serves calls made one after another.
    del loads[:]
    for t in texts:
        EntityTagger.extract_named_entities(t)
    assert loads == []


# ---- object detection -----------------------------------------------------------------


def test_detection_network_from_many_threads(tmp_path, monkeypatch):
    import cv2

    monkeypatch.setattr(PictureScanner, "__file__", str(write_random_network(tmp_path, 3)))
    rng = np.random.default_rng(5)
    pictures, frames = [], []
    for k in range(6):
        picture = rng.integers(0, 256, (40 + 8 * k, 56, 3), dtype=np.uint8)
        path = str(tmp_path / f"p{k}.png")
        cv2.imwrite(path, picture)
        pictures.append(path)
        frames.append(picture)
    video = str(tmp_path / "v.mp4")
    writer = cv2.VideoWriter(video, cv2.VideoWriter_fourcc(*"mp4v"), 5, (56, 40))
    for frame in frames[:1] * 3:
        writer.write(frame)
    writer.release()
    calls = [lambda p=p: PictureScanner.identify_objects_in_image(p) for p in pictures]
    calls.append(lambda: ClipScanner.identify_objects_in_video(video))
    expected = [call() for call in calls]
    assert any(expected[:-1]) and len(expected[-1]) == 3
    for results in threaded(calls):
        assert results == expected


# ---- TF-IDF -----------------------------------------------------------------------------


def py_correct(query, corpus, cutoff):
    import re

    out = []
    for word in re.findall(r"\w+", query):
        match = difflib.get_close_matches(word, corpus, n=1, cutoff=cutoff)
        out.append(match[0] if match else word)
    return " ".join(out)


@needs_nltk_data
def test_tfidf_indexes_from_many_threads(tmp_path):
    rng = random.Random(11)
    engines = []
    for e in range(2):
        folder = str(tmp_path / f"e{e}")
        os.mkdir(folder)
        engine = TfidfFinder(folder)
        for k in range(30):
            engine.train_model(record(f"e{e}d{k}", random_text(rng)))
        engines.append(engine)
    queries = [" ".join(typo(rng, rng.choice(WORDS)) for _ in range(3)) for _ in range(10)]
    # Two corpora take turns in correct_query, so its one remembered
    # vocabulary index is replaced while other threads use it.
    corpora = [sorted(WORDS), sorted(w + "s" for w in WORDS)]
    calls = []
    for q in queries:
        for engine in engines:
            calls.append(lambda e=engine, q=q: e.search_documents(q, "pt", 1, 5, 0.7))
        for corpus in corpora:
            calls.append(lambda c=corpus, q=q: engines[0].correct_query(q, c, 0.6))
    expected = [call() for call in calls]
    assert expected[2] == py_correct(queries[0], corpora[0], 0.6)
    assert any(page[1] for page in expected[::4])
    for results in threaded(calls):
        assert results == expected


def test_tfidf_training_of_separate_engines_at_once(tmp_path):
    rng = random.Random(4)
    documents = [[(f"d{k}", random_text(rng, 8)) for k in range(25)] for _ in range(WORKERS)]

    def train(folder, docs):
        os.makedirs(folder)
        engine = TfidfFinder(folder)
        for doc_id, text in docs:
            engine.train_model(record(doc_id, text))
        return engine

    def summary(engine):
        m = engine.tfidf_matrix
        return (engine.document_names, engine.tfidf_vectorizer.vocabulary_,
                m.indptr.tolist(), m.indices.tolist(), m.data.tolist(),
                engine.tfidf_vectorizer.idf_.tolist())

    expected = [summary(train(str(tmp_path / "seq" / str(k)), docs))
                for k, docs in enumerate(documents)]
    barrier = threading.Barrier(WORKERS)

    def work(k):
        barrier.wait()
        return summary(train(str(tmp_path / "par" / str(k)), documents[k]))

    with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
        assert list(pool.map(work, range(WORKERS))) == expected


# ---- embeddings -------------------------------------------------------------------------


class SlowVector:
    """An embedding whose conversion to an array runs Python code (and lets
    another thread run), as a model's own tensor type may."""

    def __init__(self, values):
        self.values = np.asarray(values, dtype=np.float32)

    def numpy(self):
        time.sleep(0)
        return self.values

    def __array__(self, dtype=None, copy=None):
        time.sleep(0)
        return self.values if dtype is None else self.values.astype(dtype)


class SlowVectorModel:
    """Words hashed into 24 buckets, unit length, as SlowVector objects."""

    def encode(self, text, convert_to_tensor=False):
        v = np.zeros(24, dtype=np.float32)
        for word in text.lower().split():
            v[sum(map(ord, word)) % 24] += 1.0
        return SlowVector(v / (np.linalg.norm(v) or 1.0))


def test_embedding_matrices_from_many_threads(tmp_path, monkeypatch):
    monkeypatch.setattr(encoder_module, "SentenceTransformer", lambda name: SlowVectorModel())
    rng = random.Random(9)
    engine = EmbeddingFinder(str(tmp_path))
    queries = [random_text(rng, 3) for _ in range(8)]
    calls = [lambda q=q: engine.search_documents(q, None, 1, 6) for q in queries]
    for round_ in range(4):
        # New documents since the last round: every thread finds the
        # matrix behind the list short and wants to bring it up to date.
        for k in range(10):
            engine.train_model(record(f"r{round_}d{k}", random_text(rng)))
        all_scores = []
        for q in queries:
            page = engine.search_documents(q, None, 1, 10**6)[1]
            all_scores.append({row["name"]: row["Score"] for row in page})
        expected = [call() for call in calls]
        assert all(page[1] for page in expected)
        for results in threaded(calls):
            assert [page[0] for page in results] == queries
            # Equal scores come in no defined order: the scores along each
            # page are fixed, and each row carries its document's score.
            for page, want, scores in zip(results, expected, all_scores):
                assert [row["Score"] for row in page[1]] == [row["Score"] for row in want[1]]
                assert all(scores[row["name"]] == row["Score"] for row in page[1])
