"""The TF-IDF engine's incremental state against the straightforward engine:
after every training of a random sequence (additions, replacements of
identifiers read from the file, batches, reloads in between) on an open
vocabulary, the model equals a fresh scikit-learn fit, the file holds it,
and queries answer as the straightforward engine and a freshly loaded
engine do."""
import collections
import pickle
import random

import joblib
import pytest

from test_tfidf_finder import (assert_model_equals_sklearn, no_detection,  # noqa: F401
                               plain_preparation, record)
from tfidf_reference import StraightforwardFinder
from wrapper.core.TfidfFinder import TfidfFinder
from wrapper.infra.Tongue import Tongue

COMMON = ["casa", "dados", "modelo", "busca", "texto", "ação", "pesquisa", "informação"]


def open_text(rng):
    """Common words and words seldom drawn twice: terms keep entering and
    leaving the vocabulary."""
    words = []
    for _ in range(rng.randint(0, 9)):
        if rng.random() < 0.5:
            words.append(rng.choice(COMMON))
        else:
            words.append("".join(rng.choice("abcdeéxyz") for _ in range(rng.randint(1, 7))))
    return " ".join(words) + rng.choice(["", " ÇA", " x1"])


def queries(rng, engine):
    vocabulary = list(engine.tfidf_vectorizer.vocabulary_)
    picked = rng.sample(vocabulary, min(3, len(vocabulary)))
    typo = [w[:-1] for w in picked if len(w) > 5]
    return [" ".join(picked), " ".join(typo) or "casa", "zzzz casa", "xy"]


def check(engine, directory, rng, first=False):
    assert_model_equals_sklearn(engine, first=first)
    stored = joblib.load(engine.model_filename)
    assert pickle.dumps(stored["matrix"]) == pickle.dumps(engine.tfidf_matrix)
    assert pickle.dumps(stored["vectorizer"]) == pickle.dumps(engine.tfidf_vectorizer)
    assert list(stored["cleaned_text"].items()) == list(engine.cleaned_text.items())
    reference = StraightforwardFinder(directory)
    cold = TfidfFinder(directory)
    for query in queries(rng, engine):
        for page, size in ((1, 10), (2, 3)):
            got = engine.search_documents(query, Tongue.PORTUGUESE, page, size)
            assert got == reference.search_documents(query, Tongue.PORTUGUESE, page, size)
            assert got == cold.search_documents(query, Tongue.PORTUGUESE, page, size)


@pytest.mark.parametrize("seed", [1, 2])
def test_random_sequence_equals_fresh_fits(tmp_path, plain_preparation,  # noqa: F811
                                           no_detection, seed):  # noqa: F811
    rng = random.Random(seed)
    directory = str(tmp_path)
    engine = TfidfFinder(directory)
    trained, first = 0, True
    for step in range(70):
        roll = rng.random()
        if roll < 0.12:
            engine = TfidfFinder(directory)  # a reload: the next training reads the file
            continue
        if roll < 0.22 and trained:
            # A batch of additions and replacements.
            names = joblib.load(engine.model_filename)["document_names"]
            batch = [record(rng.choice(names) if rng.random() < 0.5 else f"b{step}-{k}",
                            open_text(rng)) for k in range(rng.randint(1, 5))]
            matrix = engine.tfidf_matrix
            try:
                engine.train_models(batch)
            except ValueError:
                continue  # a batch that would empty the vocabulary changes nothing
            if engine.tfidf_matrix is matrix:
                continue  # every record was one this engine holds already
        else:
            if trained and rng.random() < 0.45:
                # Replace a document read from the file, on an engine that
                # has not trained it (a fresh one if this one already did).
                names = joblib.load(engine.model_filename)["document_names"]
                doc_id = rng.choice(names)
                if doc_id in engine.document_names and engine.is_loaded:
                    engine = TfidfFinder(directory)
            else:
                doc_id = f"d{step}"
            try:
                engine.train_model(record(doc_id, open_text(rng)))
            except ValueError:
                continue
        trained += 1
        check(engine, directory, rng, first=first and len(engine.document_names) == 1)
        first = False
    assert trained > 30


STORED = [("a", "casa casa dados dados"), ("b", "ação ação Ünïcode casa"), ("c", "a ! b"),
          ("d", "dados modelo busca casa casa casa"), ("e", "busca x1 x1 x1 x1 x1 x1")]


@pytest.mark.parametrize("change", ["add", "replace first", "replace middle", "replace last",
                                    "batch"])
@pytest.mark.parametrize("damage", [False, True])
def test_reloaded_model_trains_on_as_a_fresh_fit(tmp_path, plain_preparation,  # noqa: F811
                                                 no_detection, change, damage):  # noqa: F811
    directory = str(tmp_path)
    TfidfFinder(directory).train_models([record(i, t) for i, t in STORED])
    if damage:
        # A matrix that is not the texts' own: the counts cannot be taken
        # from it, and the next training must count the texts instead.
        stored = joblib.load(directory + "/td_model.pkl")
        stored["matrix"].data[3] *= 1.0000001
        joblib.dump(stored, directory + "/td_model.pkl")
    engine = TfidfFinder(directory)
    if change == "add":
        engine.train_model(record("f", "modelo novo casa"))
    elif change == "batch":
        engine.train_models([record("a", "dados"), record("g", "casa nova"), record("d", "x1 x1")])
    else:
        doc_id = {"replace first": "a", "replace middle": "b", "replace last": "e"}[change]
        engine.train_model(record(doc_id, "casa modelo modelo"))
    assert_model_equals_sklearn(engine)
    reference = StraightforwardFinder(directory)
    for query in ("casa dados", "x1 busca", "ação modelo", "unicode"):
        assert engine.search_documents(query, "pt") == reference.search_documents(query, "pt")
    # And the training after that one.
    engine.train_model(record("h", "dados busca"))
    assert_model_equals_sklearn(engine)


class Text(str):
    """A text the native fit leaves to the library."""


def test_collections_the_caller_changed_between_trainings_are_fitted_as_they_are(
        tmp_path, plain_preparation, no_detection):  # noqa: F811
    engine = TfidfFinder(str(tmp_path))
    engine.train_models([record(i, t) for i, t in STORED])
    cleaned = engine.cleaned_text
    changes = [
        # An equal text in a new object; another text under a known key.
        lambda: cleaned.__setitem__("a", "".join(["casa casa ", "dados dados"])),
        lambda: cleaned.__setitem__("b", "modelo texto"),
        # A text of a kind only the library takes, and back.
        lambda: cleaned.__setitem__("c", Text("pesquisa casa")),
        lambda: cleaned.__setitem__("c", "pesquisa casa"),
        # Another mapping, whose order is not its dict's.
        lambda: setattr(engine, "cleaned_text", collections.OrderedDict(cleaned)),
        lambda: engine.cleaned_text.move_to_end("a"),
    ]
    for k, change in enumerate(changes):
        change()
        engine.train_model(record(f"new{k}", f"busca dados n{k}"))
        assert_model_equals_sklearn(engine)


def test_searches_while_the_same_engine_trains(tmp_path, plain_preparation,  # noqa: F811
                                               no_detection):  # noqa: F811
    # Queries read the training state in place; a training changing it
    # meanwhile must neither block them for good nor be seen half-done.
    import threading

    directory = str(tmp_path)
    engine = TfidfFinder(directory)
    engine.train_models([record(f"s{k}", f"casa dados{k} modelo") for k in range(20)])
    done = threading.Event()
    seen, errors = [], []

    def search():
        while not done.is_set():
            try:
                corrected, rows = engine.search_documents("casa modelo busca", "pt", 1, 50)
                seen.append(len(rows))
                assert all(0 < row["Pontuação"] <= 1.0 + 1e-12 for row in rows)
            except Exception as error:  # noqa: BLE001 - reported below
                errors.append(error)
                return

    threads = [threading.Thread(target=search) for _ in range(2)]
    for thread in threads:
        thread.start()
    rng = random.Random(4)
    for k in range(40):
        engine.train_model(record(f"t{k}", open_text(rng) + " casa"))
    done.set()
    for thread in threads:
        thread.join(timeout=60)
    assert not errors and not any(thread.is_alive() for thread in threads)
    assert seen and max(seen) <= 50
    reference = StraightforwardFinder(directory)
    assert engine.search_documents("casa modelo busca", "pt", 1, 50) == \
        reference.search_documents("casa modelo busca", "pt", 1, 50)
