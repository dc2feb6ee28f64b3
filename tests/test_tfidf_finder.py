"""The TF-IDF engine: its model equals what scikit-learn fits on the same
cleaned texts, its files are what a straightforward Python engine writes
and reads, and its search results equal that engine's (tests/tfidf_reference.py)."""
import concurrent.futures
import json
import logging
import os
import pickle
import random
import types

import joblib
import numpy as np
import pytest
from sklearn.feature_extraction.text import TfidfVectorizer

from conftest import needs_nltk_data
from failing_joblib import DiskFull
from tfidf_reference import StraightforwardFinder
from wrapper.core import TfidfFinder as module
from wrapper.core.File import File
from wrapper.core.FinderBase import FinderBase
from wrapper.core.TfidfFinder import TfidfFinder
from wrapper.infra import Cleanser
from wrapper.infra.Tongue import Tongue

WORDS = ["casa", "casas", "pesquisa", "dados", "modelo", "busca", "texto", "ação",
         "informação", "x", "_id", "a1", "2024", "ΟΔΟΣ", "İstanbul", "STRASSE", "Straße",
         "中文", "naïve", "e", "café", "Zeta", "alpha", "beta", "gamma"]


def record(doc_id, cleaned, language=Tongue.PORTUGUESE, text="raw text"):
    doc = File.__new__(File)  # a real record, without the constructor's print
    doc.id = doc_id
    doc.text = text
    doc.cleaned_text = cleaned
    doc.detected_language = language
    return doc


def random_text(rng, n=None):
    n = rng.randint(1, 12) if n is None else n
    return " ".join(rng.choice(WORDS) for _ in range(n)) + rng.choice(["", "!", " -x"])


def expected_model(texts, first):
    vectorizer = TfidfVectorizer()
    if first:
        vectorizer.fit(texts)
        return vectorizer, vectorizer.transform(texts)
    return vectorizer, vectorizer.fit_transform(texts)


def assert_model_equals_sklearn(engine, first=False):
    texts = list(engine.cleaned_text.values())
    if first:
        texts = texts[-1:]
    vectorizer, matrix = expected_model(texts, first)
    got_v, got_m = engine.tfidf_vectorizer, engine.tfidf_matrix
    assert list(got_v.vocabulary_.items()) == list(vectorizer.vocabulary_.items())
    assert np.array_equal(got_v.idf_, vectorizer.idf_)
    assert type(got_m) is type(matrix) and got_m.shape == matrix.shape
    # Same sparsity, same stored order, values within 1e-12 (in fact equal).
    assert np.array_equal(got_m.indptr, matrix.indptr)
    assert np.array_equal(got_m.indices, matrix.indices)
    assert np.allclose(got_m.data, matrix.data, rtol=0, atol=1e-12)
    assert np.array_equal(got_m.data, matrix.data)
    # The objects themselves: the pickles are byte for byte the same.
    assert pickle.dumps(got_v) == pickle.dumps(vectorizer)
    assert pickle.dumps(got_m) == pickle.dumps(matrix)
    probe = [texts[0], "casa dados desconhecido", ""]
    assert (got_v.transform(probe) != vectorizer.transform(probe)).nnz == 0
    assert list(got_v.get_feature_names_out()) == list(vectorizer.get_feature_names_out())


def prepare_without_nltk(text, language=None):
    """The token pipeline with the NLTK steps left out: normalisation and
    whitespace split, deterministic and without data files."""
    prepare_without_nltk.languages.append(language)
    return prepare_without_nltk.real(text, None)


@pytest.fixture
def plain_preparation(monkeypatch):
    prepare_without_nltk.real = Cleanser.preprocess_text_for_stemmetization
    prepare_without_nltk.languages = []
    monkeypatch.setattr(Cleanser, "preprocess_text_for_stemmetization", prepare_without_nltk)
    return prepare_without_nltk


@pytest.fixture
def no_detection(monkeypatch):
    calls = []

    def detect_lang(text):
        calls.append(text)
        return Tongue.ENGLISH, text, [text]

    monkeypatch.setattr(module.TongueProbe, "detect_lang", detect_lang)
    return calls


def test_a_pickled_engine_searches_like_the_original(tmp_path, plain_preparation, no_detection):
    # Worker processes receive engines pickled: everything a search needs
    # must travel in the instance state, none of it in native-only memory.
    engine = TfidfFinder(str(tmp_path))
    rng = random.Random(5)
    for k in range(8):
        engine.train_model(record(f"d{k}", random_text(rng)))
    copy = pickle.loads(pickle.dumps(engine))
    assert type(copy) is TfidfFinder and vars(copy).keys() == vars(engine).keys()
    for query in ["casa dados", "pesqisa", "Zeta alpha"]:
        assert copy.search_documents(query, "pt", 1, 5) == engine.search_documents(query, "pt", 1, 5)


def test_every_training_equals_a_fresh_fit(tmp_path):
    rng = random.Random(3)
    engine = TfidfFinder(str(tmp_path))
    for step in range(30):
        doc_id = f"doc{step}.pdf"
        engine.train_model(record(doc_id, random_text(rng)))
        assert_model_equals_sklearn(engine, first=(step == 0))
        stored = joblib.load(engine.model_filename)
        assert list(stored) == ["matrix", "vectorizer", "document_names",
                                "detected_languages", "cleaned_text"]
        assert pickle.dumps(stored["matrix"]) == pickle.dumps(engine.tfidf_matrix)
        assert stored["document_names"] == engine.document_names
    # Engines made later on the same directory replace documents read from
    # the file; a replacement moves the document last and refits.
    for step in range(8):
        again = TfidfFinder(str(tmp_path))
        doc_id = f"doc{rng.randrange(30)}.pdf" if step % 2 else f"new{step}.pdf"
        again.train_model(record(doc_id, random_text(rng), language=Tongue.ENGLISH))
        assert again.document_names[-1] == doc_id
        assert list(again.cleaned_text) == again.document_names
        assert list(again.detected_languages) == again.document_names
        assert_model_equals_sklearn(again)


def test_replacing_a_document_read_from_the_file(tmp_path, caplog):
    first = TfidfFinder(str(tmp_path))
    for doc_id, text in [("a", "casa dados"), ("b", "modelo busca"), ("c", "texto casa")]:
        first.train_model(record(doc_id, text))
    engine = TfidfFinder(str(tmp_path))
    caplog.set_level(logging.INFO)
    engine.train_model(record("b", "busca nova pesquisa", language=Tongue.SPANISH))
    assert [r.getMessage() for r in caplog.records] == [
        "td--removed doc for document names",
        "keys",
        "['a', 'b', 'c']",
        "index 1 for docid b",
        "td--removed b to detected languages",
        "td--deleted doc to cleaned text",
    ]
    assert all(r.levelno == logging.INFO and r.name == "root" for r in caplog.records)
    assert caplog.records[2].msg == ["a", "b", "c"]  # the list itself, as logged
    assert engine.document_names == ["a", "c", "b"]
    assert list(engine.cleaned_text.items()) == [
        ("a", "casa dados"), ("c", "texto casa"), ("b", "busca nova pesquisa")]
    assert engine.detected_languages["b"] is Tongue.SPANISH
    assert_model_equals_sklearn(engine)
    assert joblib.load(engine.model_filename)["document_names"] == ["a", "c", "b"]
    debug = json.loads(open(engine.debug_model_filename).read())
    assert debug["document_names"] == ["a", "c", "b"]
    assert list(debug["multilang_models"].items()) == [("a", "pt"), ("c", "pt"), ("b", "es")]


def test_the_same_identifier_twice_does_nothing(tmp_path):
    engine = TfidfFinder(str(tmp_path))
    engine.train_model(record("a", "casa dados"))
    before = open(engine.model_filename, "rb").read()
    matrix = engine.tfidf_matrix
    assert engine.train_model(record("a", "outra coisa")) is None
    assert engine.tfidf_matrix is matrix
    assert engine.cleaned_text == {"a": "casa dados"}
    assert open(engine.model_filename, "rb").read() == before


def test_ignored_documents_touch_nothing(tmp_path):
    engine = TfidfFinder(str(tmp_path))
    for doc in (None, record("a", "casa", text=""), record("b", "casa", text=None)):
        assert engine.train_model(doc) is None
    assert os.listdir(tmp_path) == []
    assert engine.is_loaded is False and engine.document_names == []


def test_debug_file_is_json_dumps_with_indent_4(tmp_path):
    engine = TfidfFinder(str(tmp_path))
    engine.train_model(record("relatório.pdf", "casa dados"))
    engine.train_model(record("b.pdf", "casa busca", language=None))
    text = open(engine.debug_model_filename, encoding="ascii").read()
    updated_at = json.loads(text)["updated_at"]
    dc = {"multilang_models": {"relatório.pdf": "pt", "b.pdf": None},
          "document_names": ["relatório.pdf", "b.pdf"], "updated_at": updated_at}
    assert text == json.dumps(dc, indent=4)
    assert "relat\\u00f3rio.pdf" in text and '"b.pdf": null' in text
    assert joblib.load(engine.model_filename)["detected_languages"] == {
        "relatório.pdf": Tongue.PORTUGUESE, "b.pdf": None}


def test_model_file_is_byte_for_byte_what_joblib_dump_writes(tmp_path):
    # Identifiers of every pickled size, texts past a pickle frame, more
    # than a batch of items and more memo entries than a short reference.
    rng = random.Random(5)
    ids = [f"d{k}" for k in range(1100)] + [
        7, 255, 256, 65535, 65536, -1, -2**31, 2**31, 2**40, "relatório", "x" * 300, "\ud800"]
    texts = [random_text(rng) for _ in ids]
    texts[3] = random_text(rng, 12000)  # more than 64 KiB
    vectorizer = TfidfVectorizer()
    joblib.dump({"matrix": vectorizer.fit_transform(texts), "vectorizer": vectorizer,
                 "document_names": ids,
                 "detected_languages": {i: rng.choice([Tongue.PORTUGUESE, None]) for i in ids},
                 "cleaned_text": dict(zip(ids, texts))}, str(tmp_path / "td_model.pkl"))
    engine = TfidfFinder(str(tmp_path))
    engine.train_model(record(7, "casa dados nova"))
    expected = str(tmp_path / "expected.pkl")
    joblib.dump({"matrix": engine.tfidf_matrix, "vectorizer": engine.tfidf_vectorizer,
                 "document_names": engine.document_names,
                 "detected_languages": engine.detected_languages,
                 "cleaned_text": engine.cleaned_text}, expected)
    assert open(engine.model_filename, "rb").read() == open(expected, "rb").read()
    assert engine.document_names[-1] == 7


def test_a_model_written_by_straightforward_code_loads_and_searches_the_same(
        tmp_path, plain_preparation, no_detection):
    rng = random.Random(11)
    reference = StraightforwardFinder(str(tmp_path))
    for k in range(25):
        reference.train_model(record(f"d{k}", random_text(rng)))
    engine = TfidfFinder(str(tmp_path))
    queries = ["casa dados", "pesqisa informaçao", "nada", "Zeta ALPHA beta!!", "strasse"]
    for query in queries:
        for page, size in [(1, 10), (2, 3), (0, 10), (-1, 4), (9, 10)]:
            expected = StraightforwardFinder(str(tmp_path)).search_documents(
                query, "pt", page, size)
            assert engine.search_documents(query, "pt", page, size) == expected
    # Training on top of it refits exactly; straightforward code reads the result.
    engine.train_model(record("d3", "casa casa modelo nova"))
    engine.train_model(record("extra", "texto de teste"))
    assert_model_equals_sklearn(engine)
    reread = StraightforwardFinder(str(tmp_path))
    for query in queries:
        assert engine.search_documents(query, "pt") == reread.search_documents(query, "pt")


def test_ranking_ties_pages_and_zero_scores(tmp_path, plain_preparation, no_detection):
    engine = TfidfFinder(str(tmp_path))
    reference = StraightforwardFinder(str(tmp_path) + "/ref")
    os.mkdir(str(tmp_path) + "/ref")
    texts = ["casa dados", "casa dados", "casa modelo", "busca", "casa dados",
             "modelo busca texto", "casa", "texto", "dados dados casa", "nada aqui",
             "casa dados", "outro"]
    for k, text in enumerate(texts):
        engine.train_model(record(f"n{k}", text))
        reference.train_model(record(f"n{k}", text))
    for query in ["casa dados", "busca", "inexistente", "casa"]:
        for page in range(-3, 5):
            for size in (-2, 0, 1, 2, 3, 10, 25):
                got = engine.search_documents(query, Tongue.PORTUGUESE, page, size)
                assert got == reference.search_documents(query, Tongue.PORTUGUESE, page, size)
    corrected, rows = engine.search_documents("casa dados", "pt", 1, 3)
    # Equal scores keep model order: n0, n1, n4 score alike.
    assert [r["name"] for r in rows] == ["n0", "n1", "n4"]
    assert rows[0]["Pontuação"] == rows[2]["Pontuação"]
    assert all(list(r) == ["name", "Pontuação", "language"] for r in rows)
    assert all(type(r["Pontuação"]) is np.float64 and r["language"] is Tongue.PORTUGUESE
               for r in rows)
    # Only documents that share a term are listed, whatever the page size.
    corrected, rows = engine.search_documents("busca", "pt", 1, 100)
    assert [r["name"] for r in rows] == ["n3", "n5"]
    assert engine.search_documents("inexistente", "pt") == ("inexistente", [])
    assert engine.search_documents("casa", "pt", 0) == ("casa", [])
    for page in (1.0, "1", None):
        with pytest.raises(TypeError) as expected:
            reference.search_documents("casa", "pt", page)
        with pytest.raises(TypeError) as got:
            engine.search_documents("casa", "pt", page)
        assert str(got.value) == str(expected.value)


def test_query_language_detection_and_codes(tmp_path, plain_preparation, no_detection):
    engine = TfidfFinder(str(tmp_path))
    assert engine.search_documents("casa") == []  # no model: a list, nothing detected
    assert no_detection == []
    engine.train_model(record("a", "casa dados"))
    engine.search_documents("Casa dados!")
    assert no_detection == ["Casa dados!"]
    assert plain_preparation.languages[-1] is Tongue.ENGLISH  # the detected language
    for language, member in [("es", Tongue.SPANISH), ("pt", Tongue.PORTUGUESE),
                             (Tongue.ENGLISH, Tongue.ENGLISH)]:
        engine.search_documents("casa", language)
        assert plain_preparation.languages[-1] is member
    assert len(no_detection) == 1
    with pytest.raises(ValueError, match="'fr' is not a valid Tongue"):
        engine.search_documents("casa", "fr")


def test_correction_before_scoring(tmp_path, plain_preparation, no_detection):
    engine = TfidfFinder(str(tmp_path))
    engine.train_model(record("a", "pesquisa dados"))
    engine.train_model(record("b", "informacao"))
    corrected, rows = engine.search_documents("pesqisa  informacap!!", "pt")
    assert corrected == "pesquisa informacao"
    assert sorted(r["name"] for r in rows) == ["a", "b"]
    # Cut-off 1.0 never replaces anything.
    assert engine.search_documents("pesqisa", "pt", cutoff_for_fix_query=1.0) == ("pesqisa", [])

    class Custom(TfidfFinder):
        def correct_query(self, query, corpus, cutoff=0.6):
            self.seen = (query, list(corpus), cutoff)
            return "dados"

    custom = Custom(str(tmp_path))
    assert custom.search_documents("xyz", "pt", cutoff_for_fix_query=0.7)[0] == "dados"
    assert custom.seen == ("xyz", ["dados", "informacao", "pesquisa"], 0.7)


class RecordingVectorizer(TfidfVectorizer):
    calls = []

    def fit_transform(self, raw_documents, y=None):
        self.calls.append("fit_transform")
        return super().fit_transform(raw_documents, y)


def test_patched_library_objects_are_the_ones_used(tmp_path, plain_preparation, no_detection,
                                                   monkeypatch):
    calls = RecordingVectorizer.calls = []
    original_cosine = module.cosine_similarity

    def cosine(x, y):
        calls.append("cosine_similarity")
        return original_cosine(x, y)

    engine = TfidfFinder(str(tmp_path))
    engine.train_model(record("a", "casa dados"))
    monkeypatch.setattr(module, "TfidfVectorizer", RecordingVectorizer)
    monkeypatch.setattr(module, "cosine_similarity", cosine)
    engine.train_model(record("b", "casa modelo"))
    assert type(engine.tfidf_vectorizer) is RecordingVectorizer
    result = engine.search_documents("casa", "pt")
    assert calls == ["fit_transform", "cosine_similarity"]
    monkeypatch.setattr(module, "TfidfVectorizer", TfidfVectorizer)
    monkeypatch.setattr(module, "cosine_similarity", original_cosine)
    assert result == StraightforwardFinder(str(tmp_path)).search_documents("casa", "pt")


def test_failed_training_leaves_the_engine_as_it_was(tmp_path):
    engine = TfidfFinder(str(tmp_path))
    with pytest.raises(ValueError, match="^empty vocabulary; perhaps the documents only "
                                         "contain stop words$"):
        engine.train_model(record("a", "a b !"))
    assert (engine.document_names, engine.detected_languages, engine.cleaned_text) == ([], {}, {})
    assert engine.tfidf_vectorizer is None and engine.is_loaded is False
    assert os.listdir(tmp_path) == ["td_model.pkl.lock"]  # the writers' lock only
    engine.train_model(record("a", "casa dados"))  # the same identifier trains now
    assert engine.document_names == ["a"]


def test_failed_write_keeps_old_files_and_memory(tmp_path, monkeypatch):
    engine = TfidfFinder(str(tmp_path))
    engine.train_model(record("a", "casa dados"))
    engine.train_model(record("b", "casa modelo"))
    names, vectorizer = engine.document_names, engine.tfidf_vectorizer
    old_model = open(engine.model_filename, "rb").read()
    old_debug = open(engine.debug_model_filename, "rb").read()

    monkeypatch.setattr(module, "joblib", DiskFull)
    with pytest.raises(OSError, match="No space left"):
        engine.train_model(record("c", "casa nova"))
    assert engine.document_names is names and names == ["a", "b"]
    assert engine.cleaned_text == {"a": "casa dados", "b": "casa modelo"}
    assert engine.tfidf_vectorizer is vectorizer
    # A replacement read from the file is put back in its place too.
    fresh = TfidfFinder(str(tmp_path))
    with pytest.raises(OSError, match="No space left"):
        fresh.train_model(record("a", "casa nova"))
    assert fresh.document_names == ["a", "b"] and list(fresh.cleaned_text) == ["a", "b"]
    assert list(fresh.detected_languages) == ["a", "b"] and fresh.is_loaded is True
    assert open(engine.model_filename, "rb").read() == old_model
    assert open(engine.debug_model_filename, "rb").read() == old_debug
    assert sorted(os.listdir(tmp_path)) == [
        "debug_td_model.json", "td_model.pkl", "td_model.pkl.lock"]
    monkeypatch.undo()
    engine.train_model(record("c", "texto"))
    assert_model_equals_sklearn(engine)


def test_debug_file_failing_after_the_model_file_keeps_the_document(tmp_path, monkeypatch):
    # The model file is the record of what is trained: once it holds the
    # document, memory must hold it too, or the next training would write
    # the model without it.
    engine = TfidfFinder(str(tmp_path))
    engine.train_model(record("a", "casa dados"))
    old_debug = open(engine.debug_model_filename, "rb").read()

    def refuse(self, dc, filename):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(FinderBase, "save_debug_json", refuse)
    with pytest.raises(OSError, match="No space left"):
        engine.train_model(record("c", "casa nova"))
    assert engine.document_names == ["a", "c"]
    assert joblib.load(engine.model_filename)["document_names"] == ["a", "c"]
    assert open(engine.debug_model_filename, "rb").read() == old_debug
    monkeypatch.undo()
    engine.train_model(record("d", "casa velha"))
    assert joblib.load(engine.model_filename)["document_names"] == ["a", "c", "d"]
    assert json.loads(open(engine.debug_model_filename).read())["document_names"] == [
        "a", "c", "d"]
    assert_model_equals_sklearn(engine)


def test_debug_values_json_cannot_hold_fail_before_any_write(tmp_path):
    # Both pickle, so only the debug file could refuse them; the model file
    # must not have been replaced by then.
    engine = TfidfFinder(str(tmp_path))
    engine.train_model(record("a", "casa dados"))
    old_model = open(engine.model_filename, "rb").read()
    old_debug = open(engine.debug_model_filename, "rb").read()
    code_as_bytes = types.SimpleNamespace(value=b"pt")
    for doc in (record(("t", 1), "casa nova"), record("c", "casa nova", language=code_as_bytes)):
        with pytest.raises(TypeError):
            engine.train_model(doc)
        assert open(engine.model_filename, "rb").read() == old_model
        assert open(engine.debug_model_filename, "rb").read() == old_debug
        assert engine.document_names == ["a"] and list(engine.cleaned_text) == ["a"]
    assert sorted(os.listdir(tmp_path)) == [
        "debug_td_model.json", "td_model.pkl", "td_model.pkl.lock"]
    # Identifiers JSON keys can be (int) still train, and the next document too.
    engine.train_model(record(7, "texto casa"))
    engine.train_model(record("c", "casa nova"))
    assert joblib.load(engine.model_filename)["document_names"] == ["a", 7, "c"]
    assert json.loads(open(engine.debug_model_filename).read())["multilang_models"] == {
        "a": "pt", "7": "pt", "c": "pt"}
    assert_model_equals_sklearn(engine)


def test_model_directory_missing(tmp_path):
    engine = TfidfFinder(str(tmp_path / "absent"))
    with pytest.raises(FileNotFoundError):
        engine.train_model(record("a", "casa dados"))
    assert engine.document_names == [] and engine.is_loaded is False


def test_model_file_edge_cases(tmp_path):
    path = str(tmp_path) + "/td_model.pkl"
    joblib.dump({}, path)
    engine = TfidfFinder(str(tmp_path))
    assert engine.load_model() is False
    engine.train_model(record("a", "casa dados"))
    assert engine.load_model() is True

    joblib.dump({"matrix": None, "vectorizer": None, "document_names": ["z"]}, path)
    fresh = TfidfFinder(str(tmp_path))
    for call in (fresh.load_model, lambda: fresh.train_model(record("b", "casa"))):
        with pytest.raises(ValueError) as error:
            call()
        assert str(error.value) == (f"The model file {path} lacks the keys "
                                    "'detected_languages', 'cleaned_text'")
        assert fresh.is_loaded is False and fresh.document_names == []
        assert fresh.tfidf_matrix is None and fresh.cleaned_text == {}


def test_concurrent_searches_agree(tmp_path, plain_preparation, no_detection):
    rng = random.Random(2)
    engine = TfidfFinder(str(tmp_path))
    for k in range(40):
        engine.train_model(record(f"d{k}", random_text(rng)))
    queries = [random_text(rng, 3) for _ in range(30)]
    expected = [engine.search_documents(q, "pt") for q in queries]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        for _ in range(3):
            assert list(pool.map(lambda q: engine.search_documents(q, "pt"), queries)) == expected
            assert list(pool.map(lambda q: engine.correct_query(q, WORDS, 0.8), queries)) == [
                engine.correct_query(q, WORDS, 0.8) for q in queries]


@needs_nltk_data
def test_end_to_end_with_the_real_token_pipeline(tmp_path):
    texts = {"a.pdf": "O governo anunciou hoje um novo programa de habitação.",
             "b.pdf": "As famílias receberam as casas novas do programa.",
             "c.pdf": "A oposição criticou o plano de habitação do governo."}
    engine = TfidfFinder(str(tmp_path))
    reference = StraightforwardFinder(str(tmp_path) + "/ref")
    os.mkdir(str(tmp_path) + "/ref")
    for doc_id, text in texts.items():
        _, cleaned = Cleanser.preprocess_text_for_stemmetization(text, Tongue.PORTUGUESE)
        engine.train_model(record(doc_id, cleaned))
        reference.train_model(record(doc_id, cleaned))
    for query in ["programa de habitação", "casas das famílias", "governo"]:
        assert engine.search_documents(query, "pt") == reference.search_documents(query, "pt")


def test_native_caches_stay_out_of_attributes_files_and_copies(tmp_path):
    engine = TfidfFinder(str(tmp_path))
    engine.train_models([record("a", "casa dados azul"), record("b", "dados verdes casa"),
                         record("c", "mar azul")])
    before = engine.search_documents("casa azul", "pt")
    assert "_cache" not in vars(engine)
    assert b"_cache" not in open(engine.model_filename, "rb").read()
    assert "_cache" not in open(engine.debug_model_filename).read()
    # A pickled or copied engine answers alike from its own caches; the
    # original keeps answering after the copies were trained further.
    for copy in (pickle.loads(pickle.dumps(engine)), pickle.loads(pickle.dumps(engine, 0)),
                 __import__("copy").copy(engine)):
        assert vars(copy).keys() == vars(engine).keys()
        assert copy.search_documents("casa azul", "pt") == before
    twin = __import__("copy").copy(engine)
    os.mkdir(tmp_path / "twin")
    twin.model_filename = str(tmp_path / "twin" / "td_model.pkl")
    twin.debug_model_filename = str(tmp_path / "twin" / "debug_td_model.json")
    twin.train_model(record("d", "casa casa casa"))
    assert twin.search_documents("casa azul", "pt") != before
    assert engine.search_documents("casa azul", "pt") == before
    # Emptying the private slot only costs the caches.
    del engine._cache
    assert engine.search_documents("casa azul", "pt") == before


class SlottedFinder(TfidfFinder):
    __slots__ = ("label", "__secret")

    def reveal(self):
        return self.__secret


def test_subclass_slots_pickle_beside_the_attributes(tmp_path):
    engine = SlottedFinder(str(tmp_path))
    engine.label, engine._SlottedFinder__secret = "mine", 42
    engine.train_model(record("a", "casa dados"))
    for protocol in (0, 2, pickle.HIGHEST_PROTOCOL):
        copy = pickle.loads(pickle.dumps(engine, protocol))
        assert (copy.label, copy.reveal(), list(vars(copy))) == ("mine", 42, list(vars(engine)))
        assert not hasattr(copy, "_cache")
