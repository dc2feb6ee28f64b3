"""EmbeddingFinder: the index and its files, training, and ranked search.

Models that cannot be had here are stood in for by small models built by
the tests (embedding_models.py); all-MiniLM-L6-v2 runs for real when the
Hugging Face cache holds it."""
import json
import os
import types

import huggingface_hub.constants
import joblib
import numpy as np
import pytest
import torch
from sentence_transformers import SentenceTransformer

from embedding_models import (MINILM, MULTILINGUAL, PORTUGUESE, HashingModel, RecordingLoader,
                              TableModel, build_tiny_sentence_transformer, minilm_cached,
                              refusing_loader)
from failing_joblib import DiskFull
from wrapper.core import EmbeddingEncoder as encoder_module
from wrapper.core import EmbeddingFinder as finder_module
from wrapper.core.EmbeddingFinder import EmbeddingFinder
from wrapper.core.File import File
from wrapper.core.FinderBase import FinderBase
from wrapper.infra.Tongue import Tongue


@pytest.fixture
def loader(monkeypatch):
    recording = RecordingLoader()
    monkeypatch.setattr(encoder_module, "SentenceTransformer", recording)
    return recording


def record(doc_id, text, language=Tongue.ENGLISH, translate_to=None):
    doc = File.__new__(File)  # no constructor: it prints the base path
    doc.id, doc.text, doc.detected_language, doc.translate_to = doc_id, text, language, translate_to
    return doc


def files_of(base):
    with open(os.path.join(base, "debug_sb_model.json")) as f:
        debug = json.load(f)
    return joblib.load(os.path.join(base, "sb_model.pkl")), debug


def remove_files(base):
    for name in ("sb_model.pkl", "debug_sb_model.json"):
        os.remove(os.path.join(base, name))


# ---- construction and files -------------------------------------------------

def test_new_directory_in_per_language_mode(tmp_path, loader):
    engine = EmbeddingFinder(str(tmp_path), True)
    assert isinstance(engine, FinderBase)
    assert list(vars(engine)) == ["is_loaded", "base_path", "model_filename",
                                  "debug_model_filename", "multilang_models",
                                  "embedded_documents", "document_names", "supported_languages"]
    assert engine.model_filename == str(tmp_path) + "/sb_model.pkl"
    assert loader.identifiers == [PORTUGUESE, MINILM, MULTILINGUAL]
    model, debug = files_of(str(tmp_path))
    assert list(model) == ["multilang_models", "embedded_documents", "document_names"]
    assert list(model["multilang_models"]) == ["pt", "en", "es"]
    assert list(debug) == ["document_names", "updated_at"]
    assert debug["document_names"] == {"pt": [], "en": [], "es": []}
    assert engine.load_model() is True


def test_preparation_logs_through_the_module_logging(tmp_path, loader, monkeypatch):
    import logging
    import sentence_transformers

    from wrapper.infra import TongueProbe

    assert (finder_module.SentenceTransformer, finder_module.joblib, finder_module.np,
            finder_module.logging, finder_module.TongueProbe, finder_module.Tongue) == (
        sentence_transformers.SentenceTransformer, joblib, np, logging, TongueProbe, Tongue)
    logged = []
    monkeypatch.setattr(finder_module, "logging", types.SimpleNamespace(
        debug=lambda message: logged.append(message)))
    EmbeddingFinder(str(tmp_path), True)
    table = str({"pt": "portuguese", "en": "english", "es": "spanish"})
    assert logged == ["doc language type <enum 'Tongue'>",
                      "doc language nltk_languages " + table + " " + table,
                      "loading model for language pt", "loading model for language en",
                      "loading model for language es"]
    logged.clear()
    EmbeddingFinder(str(tmp_path), True)  # read from the file: nothing prepared
    assert logged == []


def test_new_directory_in_single_model_mode(tmp_path, loader):
    engine = EmbeddingFinder(str(tmp_path))
    assert (EmbeddingFinder.supported_languages, EmbeddingFinder.model_main) == (False, "main")
    model, debug = files_of(str(tmp_path))
    assert model == {"multilang_models": {}, "embedded_documents": {}, "document_names": {}}
    assert debug["document_names"] == {} and loader.identifiers == []
    with pytest.raises(KeyError):
        engine.search_documents("anything")


def test_single_model_mode_keys_everything_under_main(tmp_path, loader):
    engine = EmbeddingFinder(str(tmp_path))
    engine.train_model(record("1", "rain over the park", language=None))  # no language at all
    engine.train_model(record("2", "o gato no parque", language=Tongue.PORTUGUESE))
    assert loader.identifiers == [MULTILINGUAL]  # one multilingual model serves "main"
    assert engine.document_names == {"main": ["1", "2"]}
    query, rows = engine.search_documents("rain in the park", "pt")  # language ignored
    assert [r["name"] for r in rows][0] == "1"
    assert {r["language"] for r in rows} == {"main"}


def test_skipped_documents_still_rewrite_both_files(tmp_path, loader):
    base = str(tmp_path)
    engine = EmbeddingFinder(base, True)
    engine.train_model(record("7", "the cat sat"))
    for skipped in (record("7", "the cat sat"), record("8", ""), record("9", None), None):
        remove_files(base)
        engine.train_model(skipped)
        model, debug = files_of(base)
        assert debug["document_names"]["en"] == ["7"]
        assert model["document_names"]["en"] == ["7"]
        assert len(model["embedded_documents"]["en"]) == 1


def test_same_identifier_under_two_keys(tmp_path, loader):
    engine = EmbeddingFinder(str(tmp_path), True)
    engine.train_model(record("7", "o gato", Tongue.PORTUGUESE))
    engine.train_model(record("7", "the cat", Tongue.PORTUGUESE, translate_to=Tongue.ENGLISH))
    assert engine.document_names == {"pt": ["7"], "en": ["7"], "es": []}
    assert files_of(str(tmp_path))[1]["document_names"] == engine.document_names


def test_new_engine_reads_the_file_without_obtaining_models(tmp_path, loader, monkeypatch):
    engine = EmbeddingFinder(str(tmp_path), True)
    engine.train_model(record("a", "the cat sat on the mat"))
    engine.train_model(record("b", "rain over the park"))
    monkeypatch.setattr(encoder_module, "SentenceTransformer", refusing_loader)
    # Not even the encoders' own copies may be read: the index file has it all.
    monkeypatch.setattr(finder_module, "EmbeddingEncoder", refusing_loader)
    again = EmbeddingFinder(str(tmp_path), True)
    assert again.document_names == engine.document_names
    assert again.search_documents("rain", "en") == engine.search_documents("rain", "en")

    # Without the index file, the models come from the encoders' own copies.
    monkeypatch.undo()
    monkeypatch.setattr(encoder_module, "SentenceTransformer", refusing_loader)
    os.remove(engine.model_filename)
    fresh = EmbeddingFinder(str(tmp_path), True)
    assert fresh.document_names == {"pt": [], "en": [], "es": []}
    assert [m.name for m in fresh.multilang_models.values()] == [PORTUGUESE, MINILM, MULTILINGUAL]


def test_model_file_missing_a_key_is_refused_before_any_change(tmp_path, loader):
    engine = EmbeddingFinder(str(tmp_path), True)
    joblib.dump({"multilang_models": {}, "embedded_documents": {}}, engine.model_filename)
    before = (engine.multilang_models, engine.document_names, engine.embedded_documents)
    engine.is_loaded = False
    with pytest.raises(ValueError, match='no key "document_names"'):
        engine.load_model()
    assert (engine.multilang_models, engine.document_names, engine.embedded_documents) == before
    with pytest.raises(ValueError, match="Invalid embedding model file"):
        EmbeddingFinder(str(tmp_path), True)


def test_failed_write_leaves_the_previous_model_file(tmp_path, loader, monkeypatch):
    base = str(tmp_path)
    engine = EmbeddingFinder(base, True)
    engine.train_model(record("a", "the cat"))

    monkeypatch.setattr(finder_module, "joblib", DiskFull)
    with pytest.raises(OSError, match="No space left"):
        engine.train_model(record("b", "the dog"))
    assert files_of(base)[0]["document_names"]["en"] == ["a"]
    assert not [n for n in os.listdir(base) if n.startswith(".tmp")]
    # Memory is as it was too: the document that is not on disk is not
    # searched, and training it again indexes it.
    assert engine.document_names["en"] == ["a"] and len(engine.embedded_documents["en"]) == 1
    assert [r["name"] for r in engine.search_documents("the dog", "en")[1]] == ["a"]
    with pytest.raises(OSError, match="No space left"):
        engine.train_model(record("c", "el perro", Tongue.SPANISH, translate_to=Tongue.PORTUGUESE))
    assert engine.document_names == {"pt": [], "en": ["a"], "es": []}
    # A key that the failed call added is gone as well.
    del engine.multilang_models["pt"], engine.document_names["pt"], engine.embedded_documents["pt"]
    with pytest.raises(OSError, match="No space left"):
        engine.train_model(record("c", "o cão", Tongue.PORTUGUESE))
    assert list(engine.multilang_models) == ["en", "es"] and "pt" not in engine.embedded_documents
    monkeypatch.setattr(finder_module, "joblib", joblib)
    engine.train_model(record("b", "the dog"))
    engine.train_model(record("c", "o cão", Tongue.PORTUGUESE))
    assert files_of(base)[1]["document_names"] == {"en": ["a", "b"], "es": [], "pt": ["c"]}
    assert [r["name"] for r in engine.search_documents("the dog", "en")[1]][0] == "b"


def test_debug_file_failing_after_the_model_file_keeps_the_document(tmp_path, loader,
                                                                     monkeypatch):
    # The model file holds the document once it is replaced; memory must
    # hold it too, or the next training would write the model without it.
    base = str(tmp_path)
    engine = EmbeddingFinder(base, True)
    engine.train_model(record("a", "the cat"))

    def refuse(self, dc, filename):
        raise OSError("disk full")

    monkeypatch.setattr(FinderBase, "save_debug_json", refuse)
    with pytest.raises(OSError, match="disk full"):
        engine.train_model(record("b", "the dog"))
    assert engine.document_names["en"] == ["a", "b"]
    assert files_of(base)[0]["document_names"]["en"] == ["a", "b"]
    monkeypatch.undo()
    engine.train_model(record("c", "the bird"))
    assert files_of(base)[0]["document_names"]["en"] == ["a", "b", "c"]
    assert files_of(base)[1]["document_names"]["en"] == ["a", "b", "c"]


# ---- training faults ------------------------------------------------------------

def test_failing_encode_keeps_names_and_embeddings_in_step(tmp_path, loader):
    base = str(tmp_path)
    engine = EmbeddingFinder(base, True)
    model = TableModel({"known text": [1.0, 0.0]})
    engine.multilang_models["en"] = model
    engine.train_model(record("1", "known text"))
    with pytest.raises(RuntimeError, match="cannot embed"):
        engine.train_model(record("2", "new text"))
    assert engine.document_names["en"] == ["1"] and len(engine.embedded_documents["en"]) == 1
    assert files_of(base)[0]["document_names"]["en"] == ["1"]

    model.table["new text"] = [0.0, 1.0]  # the model recovers: train again
    engine.train_model(record("2", "new text"))
    assert engine.document_names["en"] == ["1", "2"] and len(engine.embedded_documents["en"]) == 2
    assert [r["name"] for r in engine.search_documents("new text", "en")[1]] == ["2"]


def test_failing_encode_on_a_new_key_adds_no_key(tmp_path, monkeypatch):
    monkeypatch.setattr(encoder_module, "SentenceTransformer",
                        RecordingLoader(lambda identifier: TableModel({})))
    engine = EmbeddingFinder(str(tmp_path))
    with pytest.raises(RuntimeError):
        engine.train_model(record("1", "anything", language=None))
    assert engine.multilang_models == engine.document_names == engine.embedded_documents == {}


# ---- search --------------------------------------------------------------------

@pytest.fixture
def scored_engine(tmp_path, loader):
    """Three English documents scoring 0.8, 0.3 and -0.1 against "query"."""
    engine = EmbeddingFinder(str(tmp_path), True)
    engine.multilang_models["en"] = TableModel({
        "query": [1.0, 0.0], "low": [0.3, 0.5], "high": [0.8, 0.1], "negative": [-0.1, 0.9]})
    for name in ("low", "high", "negative"):
        engine.train_model(record("doc-" + name, name))
    return engine


def test_ranking_stops_at_the_first_non_positive_score(scored_engine):
    query, rows = scored_engine.search_documents("query", "en")
    assert query == "query"
    assert [r["name"] for r in rows] == ["doc-high", "doc-low"]
    assert [list(r) for r in rows] == [["name", "Score", "language"]] * 2
    assert all(isinstance(r["Score"], np.float32) and r["language"] == "en" for r in rows)
    assert rows[0]["Score"] == np.float32(0.8)


def test_paging(scored_engine):
    scored_engine.multilang_models["en"].table["negative"] = [0.1, 0.9]
    scored_engine.embedded_documents["en"][2] = torch.tensor([0.1, 0.9])
    page = lambda p, n: [r["name"] for r in scored_engine.search_documents("query", "en", p, n)[1]]
    assert page(1, 2) == ["doc-high", "doc-low"]
    assert page(2, 2) == ["doc-negative"]
    assert page(0, 10) == [] and page(5, 10) == []
    assert page(-1, 1) == ["doc-low"]  # slice(-2, -1) of the ranked positions
    with pytest.raises(TypeError, match="slice indices must be integers"):
        scored_engine.search_documents("query", "en", 1.0, 10)


def test_search_errors(scored_engine, monkeypatch):
    engine = scored_engine
    with pytest.raises(Exception, match="^without model or documents for language es$"):
        engine.search_documents("query", "es")
    with pytest.raises(Exception, match="^without model or documents for language fr$"):
        engine.search_documents("query", "fr")
    monkeypatch.setattr(finder_module.TongueProbe, "detect_lang",
                        lambda text: (types.SimpleNamespace(value=""), text, [text]))
    with pytest.raises(Exception, match="^language not detected$"):
        engine.search_documents("query")
    engine.multilang_models["en"] = None
    with pytest.raises(Exception, match="^model not loaded for language en$") as raised:
        engine.search_documents("query", "en")
    assert type(raised.value) is Exception


def test_query_language_is_detected_when_not_given(scored_engine, monkeypatch):
    calls = []

    def detect_lang(*args, **kwargs):
        calls.append((args, kwargs))
        return Tongue.ENGLISH, "normalised", ["normalised"]

    monkeypatch.setattr(finder_module.TongueProbe, "detect_lang", detect_lang)
    query, rows = scored_engine.search_documents("query", "")
    assert calls == [(("query",), {})] and query == "query"
    assert [r["name"] for r in rows] == ["doc-high", "doc-low"]


# ---- the contiguous matrix agrees with np.inner over the stored list ---------------

def reference_search(engine, query, key, page=1, results_per_page=10):
    """The ranking written out the plain way, on the stored list."""
    scores = np.inner(engine.multilang_models[key].encode(query, convert_to_tensor=True),
                      engine.embedded_documents[key])
    ranked = np.argsort(scores, axis=None, kind="quicksort", order=None)[::-1]
    start = (page - 1) * results_per_page
    rows = []
    for position in ranked[start:start + results_per_page]:
        if not scores[position] > 0:
            break
        rows.append((engine.document_names[key][position], scores[position]))
    return rows


def assert_same_ranking(got, want):
    # Scores must be identical along the page; tied documents may swap.
    assert [r["Score"] for r in got] == [s for _, s in want]
    assert all(type(r["Score"]) is type(s) for r, (_, s) in zip(got, want))
    for score in {s for _, s in want}:
        assert ({r["name"] for r in got if r["Score"] == score}
                == {n for n, s in want if s == score})


@pytest.mark.filterwarnings("ignore:__array__ implementation:DeprecationWarning")
def test_matrix_follows_every_change_of_the_stored_lists(tmp_path, loader, monkeypatch):
    rng = np.random.default_rng(3)
    engine = EmbeddingFinder(str(tmp_path), True)
    vectors = rng.standard_normal((300, 16)).astype(np.float32)
    vectors[10:20] = vectors[0]  # ties
    engine.multilang_models["en"] = TableModel(
        {"q": rng.standard_normal(16), **{f"t{i}": v for i, v in enumerate(vectors)}})
    for i in range(30):
        engine.train_model(record(f"d{i}", f"t{i}"))

    def check():
        for page, size in [(1, 10), (2, 10), (1, 300), (3, 7), (0, 5), (-2, 4)]:
            got = engine.search_documents("q", "en", page, size)[1]
            assert_same_ranking(got, reference_search(engine, "q", "en", page, size))

    check()
    for i in range(30, 250):  # appended behind the engine's back
        engine.embedded_documents["en"].append(torch.from_numpy(vectors[i]))
        engine.document_names["en"].append(f"d{i}")
    check()
    engine.embedded_documents["en"][5] = torch.from_numpy(-vectors[5])  # an item swapped
    check()
    engine.embedded_documents["en"] = [torch.from_numpy(v) for v in vectors[:40]]  # replaced
    engine.document_names["en"] = [f"d{i}" for i in range(40)]
    check()
    engine.embedded_documents["en"] = [torch.from_numpy(v).double() for v in vectors[:40]]
    check()  # double precision
    engine.is_loaded = False
    engine.load_model()  # back to the 30 documents of the file
    assert len(engine.document_names["en"]) == 30
    check()
    monkeypatch.setattr(finder_module, "np", types.SimpleNamespace(
        inner=np.inner, argsort=np.argsort))  # a patched np: the plain path
    check()


# ---- the real English model ------------------------------------------------------

DOCUMENTS = {
    "baking": "The recipe calls for flour, sugar, butter and eggs, baked in the oven for "
              "forty minutes.",
    "football": "The striker scored twice in the second half and the team won the "
                "championship final.",
    "economy": "The central bank raised interest rates to slow down rising inflation.",
    "astronomy": "Astronomers observed a distant galaxy through the new space telescope.",
    "health": "Regular exercise and a balanced diet lower the risk of heart disease.",
}
PARAPHRASES = {
    "how do I make a cake": "baking",
    "soccer match results": "football",
    "monetary policy and the cost of living": "economy",
    "looking at stars and planets": "astronomy",
    "staying fit and healthy": "health",
}


@pytest.mark.skipif(not minilm_cached(), reason="all-MiniLM-L6-v2 is not in the Hugging Face "
                    "cache: run scripts/provision_minilm.py")
@pytest.mark.filterwarnings("ignore:__array__ implementation:DeprecationWarning")
def test_minilm_finds_paraphrased_queries(tmp_path, tmp_path_factory, monkeypatch):
    monkeypatch.setattr(huggingface_hub.constants, "HF_HUB_OFFLINE", True)
    tiny = build_tiny_sentence_transformer(str(tmp_path_factory.mktemp("tiny")))
    real = encoder_module.SentenceTransformer
    # English through the real loader and identifier; the Portuguese and
    # multilingual models (not to be had here) are a tiny real model.
    loader = RecordingLoader(lambda i: real(i) if i == MINILM else SentenceTransformer(tiny))
    monkeypatch.setattr(encoder_module, "SentenceTransformer", loader)

    base = str(tmp_path)
    engine = EmbeddingFinder(base, True)
    for name, text in DOCUMENTS.items():
        engine.train_model(record(name, text))
    assert len(engine.embedded_documents["en"]) == len(DOCUMENTS)
    assert engine.embedded_documents["en"][0].shape == (384,)
    for query, expected in PARAPHRASES.items():
        rows = engine.search_documents(query, "en")[1]
        assert rows[0]["name"] == expected, (query, rows)
        assert_same_ranking(rows, reference_search(engine, query, "en"))

    monkeypatch.setattr(encoder_module, "SentenceTransformer", refusing_loader)
    reopened = EmbeddingFinder(base, True)
    assert [reopened.search_documents(q, "en")[1][0]["name"] for q in PARAPHRASES] == list(
        PARAPHRASES.values())
