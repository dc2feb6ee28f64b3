"""The TF-IDF engine writes its model file natively, byte for byte what
joblib.dump of the same objects writes with the installed joblib, and its
objects are the installed scikit-learn's own without calling it once the
native path is trusted. Run on every interpreter the suite runs on."""
import io
import random

import joblib
import pytest
from joblib import numpy_pickle
from sklearn.feature_extraction.text import TfidfVectorizer

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


def assert_file_is_joblibs(engine):
    """The engine's model file is joblib's own bytes of the same objects
    (joblib's pickler is restored for the comparison only)."""
    with open(engine.model_filename, "rb") as f:
        written = f.read()
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(numpy_pickle.NumpyPickler, "dump", numpy_pickle.Pickler.dump)
        assert written == joblib_bytes(tfidf_dict(engine))


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
        assert_file_is_joblibs(engine)
    assert engine.document_names[-2:] == [300, "x" * 300]


def test_a_vocabulary_written_from_its_kept_pickle_is_what_joblib_writes(tmp_path,
                                                                         library_refused):
    """The vocabulary's pickle is kept between writes and written again
    where its items are the same objects as before. Whatever changed
    between trainings (terms added, columns moved, terms gone, the very str
    object of a term met again after the vocabulary) must come out as
    joblib writes it."""
    engine = TfidfFinder(str(tmp_path))
    engine.train_models([record("a", " ".join(f"termo{n:03d}" for n in range(300))),
                         record("b", "casa dados termo005")])
    library_refused()
    terms = list(engine.tfidf_vectorizer.vocabulary_)
    steps = [
        lambda: engine.train_model(record("c", "termo001 termo002")),  # the same items
        lambda: engine.train_model(record("d", "aaa termo003 zzz")),  # every column moves
        lambda: engine.train_model(record(terms[0], "termo004")),  # a term as an identifier
        lambda: engine.train_model(record("e", "termo006", Label(terms[10]))),
        # "casa" and "dados" are gone with the text that held them.
        lambda: (engine.cleaned_text.__setitem__("b", "termo007"),
                 engine.train_model(record("f", "termo008"))),
        lambda: engine.train_model(record("g", "termo009 termo010")),
    ]
    for step in steps:
        step()
        assert_file_is_joblibs(engine)
    assert "casa" not in engine.tfidf_vectorizer.vocabulary_


def test_long_texts_are_written_as_joblib_writes_them(tmp_path, library_refused):
    """Texts of a kilobyte or more are written from their own memory (or
    their encoded copy) between the frame's other bytes."""
    engine = TfidfFinder(str(tmp_path))
    engine.train_model(record("warm", "casa dados"))
    library_refused()
    rng = random.Random(5)
    plain = [w for w in WORDS if w.isascii()]
    docs = [record(f"t{k}", " ".join(rng.choice(plain if k % 3 else WORDS)
                                     for _ in range(rng.choice([150, 400, 2500]))))
            for k in range(60)]
    for step in ([lambda: engine.train_models(docs),
                  lambda: engine.train_model(record("u", "ação " * 400))]):
        step()
        assert_file_is_joblibs(engine)


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
