"""Both engines write their model files natively, and the files are byte for
byte what joblib.dump of the same objects writes with the installed joblib;
the TF-IDF objects are the installed scikit-learn's own, without it being
called once the native path is trusted. Run on every interpreter the suite
runs on."""
import collections
import io
import random
import types

import joblib
import pytest
import torch
from joblib import numpy_pickle
from sentence_transformers import SentenceTransformer
from sklearn.feature_extraction.text import TfidfVectorizer

from embedding_models import RecordingLoader, build_tiny_sentence_transformer
from wrapper.core import EmbeddingEncoder as encoder_module
from wrapper.core.EmbeddingFinder import EmbeddingFinder
from wrapper.core.File import File
from wrapper.core.TfidfFinder import TfidfFinder
from wrapper.infra.Tongue import Tongue

WORDS = ["casa", "dados", "ação", "Straße", "zeta", "a1", "中文", "naïve", "x"]


class Label:
    """A language value of the caller's own kind: pickled by reduce."""

    def __init__(self, value):
        self.value = value

    def __reduce__(self):
        return Label, (self.value,)


def record(doc_id, cleaned, language=Tongue.PORTUGUESE, text="raw"):
    doc = File.__new__(File)
    doc.id, doc.text, doc.cleaned_text, doc.detected_language = doc_id, text, cleaned, language
    doc.translate_to = None
    return doc


def joblib_bytes(value):
    buffer = io.BytesIO()
    joblib.dump(value, buffer)
    return buffer.getvalue()


def tfidf_dict(engine):
    return {"matrix": engine.tfidf_matrix, "vectorizer": engine.tfidf_vectorizer,
            "document_names": engine.document_names,
            "detected_languages": engine.detected_languages,
            "cleaned_text": engine.cleaned_text}


@pytest.fixture
def library_refused(monkeypatch):
    """After a warm-up, any call into joblib's pickler or scikit-learn's
    fitting fails: what still works was written and fitted natively."""
    def refuse(*args, **kwargs):
        raise AssertionError("the library path was taken")

    def arm():
        monkeypatch.setattr(numpy_pickle.NumpyPickler, "dump", refuse)
        monkeypatch.setattr(TfidfVectorizer, "fit", refuse)
        monkeypatch.setattr(TfidfVectorizer, "fit_transform", refuse)
    return arm


def test_tfidf_files_are_written_and_fitted_natively_and_exactly(tmp_path, library_refused):
    rng = random.Random(2)
    engine = TfidfFinder(str(tmp_path))
    engine.train_model(record("warm", "casa dados"))
    engine.train_model(record("warm2", "dados zeta"))
    library_refused()
    # Identifiers and languages of many kinds, replacements, long texts.
    ids = ["d1", 7, 2**40, -3, 2.5, "relatório", "\ud800", "d1", 300, "x" * 300]
    languages = [Tongue.ENGLISH, None, Label("pt"), Tongue.SPANISH]
    for k, doc_id in enumerate(ids):
        text = " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 40)))
        if k == 4:
            text = " ".join(f"palavra{n}" for n in range(12000))  # past a pickle frame
        engine.train_model(record(doc_id, text, languages[k % 4]))
        with open(engine.model_filename, "rb") as f:
            written = f.read()
        # joblib's own bytes of the same objects (its pickler is restored
        # for the comparison only).
        with pytest.MonkeyPatch.context() as mp:
            mp.setattr(numpy_pickle.NumpyPickler, "dump", numpy_pickle.Pickler.dump)
            assert written == joblib_bytes(tfidf_dict(engine))
    assert engine.document_names[-2:] == [300, "x" * 300]


def test_tfidf_file_loads_with_joblib_and_trains_on(tmp_path):
    engine = TfidfFinder(str(tmp_path))
    for k in range(5):
        engine.train_model(record(f"d{k}", " ".join(WORDS[k:k + 4])))
    stored = joblib.load(engine.model_filename)
    vectorizer = TfidfVectorizer()
    expected = vectorizer.fit_transform(list(stored["cleaned_text"].values()))
    assert (stored["matrix"] != expected).nnz == 0
    assert stored["vectorizer"].vocabulary_ == vectorizer.vocabulary_
    again = TfidfFinder(str(tmp_path))
    again.train_model(record("d9", "casa nova"))
    assert joblib.load(again.model_filename)["document_names"][-1] == "d9"


def test_patched_joblib_is_the_one_that_writes(tmp_path, monkeypatch):
    from wrapper.core import TfidfFinder as module
    calls = []

    class Recording:
        load = staticmethod(joblib.load)

        @staticmethod
        def dump(value, filename):
            calls.append(filename)
            joblib.dump(value, filename)

    monkeypatch.setattr(module, "joblib", Recording)
    engine = TfidfFinder(str(tmp_path))
    engine.train_model(record("a", "casa dados"))
    assert len(calls) == 1 and calls[0].endswith("td_model.pkl")


# ---- embedding engine --------------------------------------------------------

class TensorModel:
    """A fast stand-in encoder returning torch tensors, as the real one does."""

    def __init__(self, dim=8):
        self.dim = dim

    def encode(self, text, convert_to_tensor=False):
        g = torch.Generator().manual_seed(sum(map(ord, text)))
        return torch.randn(1, self.dim, generator=g)[0]


def embedding_dict(engine):
    return {"multilang_models": engine.multilang_models,
            "embedded_documents": engine.embedded_documents,
            "document_names": engine.document_names}


def assert_file_is_joblibs(engine):
    with open(engine.model_filename, "rb") as f:
        assert f.read() == joblib_bytes(embedding_dict(engine))


@pytest.fixture(scope="module")
def tiny_model_path(tmp_path_factory):
    return build_tiny_sentence_transformer(str(tmp_path_factory.mktemp("tiny")))


def test_embedding_file_is_joblibs_as_models_stay_and_change(tmp_path, monkeypatch,
                                                               tiny_model_path):
    monkeypatch.setattr(encoder_module, "SentenceTransformer",
                        RecordingLoader(lambda i: SentenceTransformer(tiny_model_path)))
    engine = EmbeddingFinder(str(tmp_path), True)
    assert_file_is_joblibs(engine)
    texts = ["the rain in the park", "o gato e o cão", "music bank", "el perro"]
    for k, text in enumerate(texts * 2):
        language = [Tongue.ENGLISH, Tongue.PORTUGUESE, Tongue.SPANISH][k % 3]
        engine.train_model(record(f"doc{k}", None, language, text=text))
        assert_file_is_joblibs(engine)
    # A model changed in place, an attribute replaced, a model swapped: the
    # file follows each change.
    with torch.no_grad():
        next(engine.multilang_models["en"].parameters()).add_(1.0)
    engine.train_model(record("changed", None, Tongue.ENGLISH, text="sun"))
    assert_file_is_joblibs(engine)
    engine.multilang_models["en"].note = "retuned"
    engine.train_model(record("changed2", None, Tongue.ENGLISH, text="rain"))
    assert_file_is_joblibs(engine)
    engine.multilang_models["pt"] = SentenceTransformer(tiny_model_path)
    engine.train_model(record("swapped", None, Tongue.PORTUGUESE, text="chuva"))
    assert_file_is_joblibs(engine)
    loaded = EmbeddingFinder(str(tmp_path), True)
    assert loaded.document_names == engine.document_names
    for key, vectors in engine.embedded_documents.items():
        assert all(torch.equal(a, b) for a, b in zip(vectors, loaded.embedded_documents[key]))


def test_embedding_file_with_stand_in_models_and_many_vectors(tmp_path, monkeypatch):
    monkeypatch.setattr(encoder_module, "SentenceTransformer",
                        RecordingLoader(lambda i: TensorModel()))
    engine = EmbeddingFinder(str(tmp_path))
    for k in range(1200):  # more than one pickle batch and 256 memo entries
        engine.embedded_documents.setdefault("main", []).append(TensorModel().encode(f"t{k}"))
        engine.document_names.setdefault("main", []).append(f"t{k}")
    engine.multilang_models["main"] = TensorModel()
    engine.train_model(record("last", None, None, text="last text"))
    assert_file_is_joblibs(engine)
    engine.multilang_models["main"].dim = 4  # a stand-in is never taken as unchanged
    engine.train_model(record("after", None, None, text="after"))
    assert_file_is_joblibs(engine)
    assert EmbeddingFinder(str(tmp_path)).document_names["main"][-2:] == ["last", "after"]


def test_objects_the_native_writer_leaves_to_joblib_are_still_written(tmp_path, monkeypatch):
    monkeypatch.setattr(encoder_module, "SentenceTransformer",
                        RecordingLoader(lambda i: TensorModel()))
    engine = EmbeddingFinder(str(tmp_path))
    engine.multilang_models["main"] = TensorModel()
    engine.document_names["main"] = [{"a", "b"}, frozenset({1}), bytearray(b"xy")]
    engine.embedded_documents["main"] = [collections.OrderedDict(v=1), types.SimpleNamespace(z=2),
                                         TensorModel().encode("q")]
    with pytest.raises(TypeError, match="JSON"):  # the debug file refuses a set
        engine.save_model()
    assert_file_is_joblibs(engine)
