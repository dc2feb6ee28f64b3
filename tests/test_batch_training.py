"""train_models on both engines: the same files and memory as training the
records one by one, written once, and all or nothing when one fails."""
import json
import logging
import os
import pickle
import random

import joblib
import pytest

from embedding_models import RecordingLoader
from failing_joblib import DiskFull
from test_tfidf_finder import assert_model_equals_sklearn, random_text, record
from wrapper.core import EmbeddingEncoder as encoder_module
from wrapper.core import TfidfFinder as tfidf_module
from wrapper.core.EmbeddingFinder import EmbeddingFinder
from wrapper.core.File import File
from wrapper.core.TfidfFinder import TfidfFinder
from wrapper.infra.Tongue import Tongue


def files(base, model="td_model.pkl", debug="debug_td_model.json"):
    with open(os.path.join(base, model), "rb") as f:
        model_bytes = f.read()
    with open(os.path.join(base, debug)) as f:
        debug_doc = json.load(f)
    debug_doc.pop("updated_at")
    return model_bytes, debug_doc


def tfidf_state(engine):
    return (list(engine.document_names), list(engine.detected_languages.items()),
            list(engine.cleaned_text.items()), engine.is_loaded,
            pickle.dumps(engine.tfidf_vectorizer), pickle.dumps(engine.tfidf_matrix))


def seed(base, docs):
    engine = TfidfFinder(str(base))
    for doc_id, text in docs:
        engine.train_model(record(doc_id, text))


def batch_of(rng, known, size):
    """Additions, replacements of stored identifiers, identifiers repeated
    inside the batch and records the guard skips."""
    batch = []
    for k in range(size):
        roll = rng.random()
        if roll < 0.1:
            batch.append(None)
        elif roll < 0.15:
            batch.append(record(f"skip{k}", "casa", text=""))
        elif roll < 0.5 and known:
            batch.append(record(rng.choice(known), random_text(rng), language=Tongue.ENGLISH))
        else:
            doc_id = f"n{rng.randrange(10**6)}"
            known.append(doc_id)
            batch.append(record(doc_id, random_text(rng), language=rng.choice([None, Tongue.SPANISH])))
    return batch


@pytest.mark.parametrize("stored", [0, 1, 12])
def test_tfidf_batch_equals_the_loop(tmp_path, caplog, stored):
    rng = random.Random(stored)
    docs = [(f"d{k}", random_text(rng)) for k in range(stored)]
    loop_dir, batch_dir = tmp_path / "loop", tmp_path / "batch"
    for base in (loop_dir, batch_dir):
        base.mkdir()
        seed(base, docs)
    known = [doc_id for doc_id, _ in docs]
    caplog.set_level(logging.INFO)
    for round_ in range(3):
        batch = batch_of(rng, known, 15)
        caplog.clear()
        one_by_one = TfidfFinder(str(loop_dir))  # a fresh engine: replacements come from the file
        for doc in batch:
            one_by_one.train_model(doc)
        loop_log = [r.getMessage() for r in caplog.records]
        caplog.clear()
        batched = TfidfFinder(str(batch_dir))
        assert batched.train_models(iter(batch)) is None
        assert [r.getMessage() for r in caplog.records] == loop_log
        assert files(batch_dir) == files(loop_dir)
        assert tfidf_state(batched) == tfidf_state(one_by_one)
        assert_model_equals_sklearn(batched, first=(stored == 0 and len(batched.document_names) == 1))
    # The same engine trains on after a batch, as after the loop.
    batched.train_model(record("last", "casa dados"))
    one_by_one.train_model(record("last", "casa dados"))
    assert files(batch_dir) == files(loop_dir)


def test_tfidf_batch_of_one_on_an_empty_directory_is_a_first_fit(tmp_path):
    engine = TfidfFinder(str(tmp_path))
    engine.train_models([None, record("a", "casa dados casa")])
    assert_model_equals_sklearn(engine, first=True)
    engine.train_models([])
    engine.train_models([None, record("b", "x", text="")])
    assert engine.document_names == ["a"]


def test_tfidf_batch_writes_nothing_when_every_record_is_skipped(tmp_path):
    engine = TfidfFinder(str(tmp_path))
    engine.train_models([None, record("a", "casa", text=None)])
    assert os.listdir(tmp_path) == [] and engine.is_loaded is False


def failing_batches():
    no_value = object()  # a language without a code: the debug file cannot list it
    return {
        # The first record fits on its own text, which has no term.
        "empty first": ([], [record("x", "a b !"), record("y", "casa dados")], ValueError),
        # Replacing the only document with a text without terms empties
        # the vocabulary, though the next record would fill it again.
        "emptied": ([("a", "casa dados")], [record("a", "! a"), record("b", "modelo")],
                    ValueError),
        "language": ([("a", "casa dados")],
                     [record("b", "modelo"), record("c", "texto", language=no_value),
                      record("c", "texto")], AttributeError),
        "text": ([("a", "casa dados")], [record("b", "modelo"), record("c", None)],
                 AttributeError),
    }


@pytest.mark.parametrize("case", sorted(failing_batches()))
def test_tfidf_failing_record_leaves_everything_as_it_was(tmp_path, case):
    stored, batch, error = failing_batches()[case]
    seed(tmp_path, stored)
    before = [f for f in sorted(os.listdir(tmp_path)) if f != "td_model.pkl.lock"]
    old = files(tmp_path) if stored else None
    loaded = TfidfFinder(str(tmp_path))
    loaded.load_model()
    engine = TfidfFinder(str(tmp_path))
    with pytest.raises(error):
        engine.train_models(batch)
    assert tfidf_state(engine) == tfidf_state(loaded)
    # The directory's lock file may be new; nothing else is.
    assert [f for f in sorted(os.listdir(tmp_path)) if f != "td_model.pkl.lock"] == before
    if stored:
        assert files(tmp_path) == old
    # The loop fails on the same record.
    loop = TfidfFinder(str(tmp_path))
    with pytest.raises(error):
        for doc in batch:
            loop.train_model(doc)


def test_tfidf_failed_write_keeps_old_files_and_memory(tmp_path, monkeypatch):
    seed(tmp_path, [("a", "casa dados"), ("b", "modelo busca")])
    old = files(tmp_path)
    engine = TfidfFinder(str(tmp_path))
    engine.load_model()
    state = tfidf_state(engine)

    monkeypatch.setattr(tfidf_module, "joblib", DiskFull)
    with pytest.raises(OSError, match="No space left"):
        engine.train_models([record("a", "casa nova"), record("c", "texto")])
    assert tfidf_state(engine) == state
    assert files(tmp_path) == old
    assert sorted(os.listdir(tmp_path)) == ["debug_td_model.json", "td_model.pkl",
                                            "td_model.pkl.lock"]


# ---- embedding engine ----------------------------------------------------------

@pytest.fixture
def loader(monkeypatch):
    recording = RecordingLoader()
    monkeypatch.setattr(encoder_module, "SentenceTransformer", recording)
    return recording


def text_record(doc_id, text, language=Tongue.ENGLISH):
    doc = File.__new__(File)
    doc.id, doc.text, doc.detected_language, doc.translate_to = doc_id, text, language, None
    return doc


def embedding_contents(base):
    stored = joblib.load(os.path.join(base, "sb_model.pkl"))
    with open(os.path.join(base, "debug_sb_model.json")) as f:
        debug = json.load(f)
    debug.pop("updated_at")
    embedded = {key: [list(map(float, e)) for e in values]
                for key, values in stored["embedded_documents"].items()}
    return stored["document_names"], embedded, sorted(stored["multilang_models"]), debug


@pytest.mark.parametrize("per_language", [False, True])
def test_embedding_batch_equals_the_loop(tmp_path, loader, per_language):
    batch = [text_record("a", "alpha beta"), None, text_record("b", "gamma", Tongue.SPANISH),
             text_record("a", "alpha again"), text_record("c", ""),
             text_record("d", "delta", Tongue.PORTUGUESE)]
    loop_dir, batch_dir = tmp_path / "loop", tmp_path / "batch"
    loop_dir.mkdir()
    batch_dir.mkdir()
    loop = EmbeddingFinder(str(loop_dir), per_language)
    for doc in batch:
        loop.train_model(doc)
    batched = EmbeddingFinder(str(batch_dir), per_language)
    batched.train_models(batch)
    assert embedding_contents(batch_dir) == embedding_contents(loop_dir)
    assert batched.document_names == loop.document_names
    assert list(batched.multilang_models) == list(loop.multilang_models)


def test_embedding_failure_part_way_takes_the_whole_batch_back(tmp_path, loader):
    engine = EmbeddingFinder(str(tmp_path), True)
    engine.train_model(text_record("a", "alpha"))
    old_model = (tmp_path / "sb_model.pkl").read_bytes()
    old_debug = (tmp_path / "debug_sb_model.json").read_bytes()
    names = {k: list(v) for k, v in engine.document_names.items()}
    keys = list(engine.multilang_models)
    counts = {k: len(v) for k, v in engine.embedded_documents.items()}

    def check_unchanged():
        assert {k: list(v) for k, v in engine.document_names.items()} == names
        assert list(engine.multilang_models) == keys
        assert {k: len(v) for k, v in engine.embedded_documents.items()} == counts
        assert (tmp_path / "sb_model.pkl").read_bytes() == old_model
        assert (tmp_path / "debug_sb_model.json").read_bytes() == old_debug

    class Unencodable:
        pass

    # A record whose text the model cannot encode, after two good ones.
    with pytest.raises(Exception):
        engine.train_models([text_record("b", "beta"), text_record("c", "gamma", Tongue.SPANISH),
                             text_record("d", Unencodable())])
    check_unchanged()

    def refuse():
        raise OSError(28, "No space left on device")

    engine.save_model = refuse
    with pytest.raises(OSError, match="No space left"):
        engine.train_models([text_record("b", "beta"), text_record("c", "gamma", Tongue.SPANISH)])
    check_unchanged()
    del engine.save_model
    engine.train_models([text_record("b", "beta")])
    assert engine.document_names["en"] == ["a", "b"]
