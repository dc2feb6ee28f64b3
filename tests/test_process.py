"""The pipeline front: construction, dispatch by suffix, training and search
entry, resource download. Record kinds and engines are replaced through the
module's globals where a test is about the front alone."""
import logging
import os
import types

import pytest

import wrapper.Process as process_module
from wrapper.Process import Process
from wrapper.core.EmbeddingFinder import EmbeddingFinder
from wrapper.core.TfidfFinder import TfidfFinder
from wrapper.infra.Tongue import Tongue


def test_constructor_without_engine(tmp_path, caplog):
    caplog.set_level(logging.INFO)
    base = str(tmp_path / "new" / "base")
    p = Process(base)
    assert os.path.isdir(base + "/models")
    assert p.modeldir == base + "/models" and p.base_path == base
    assert p.document_search is None and p.translate_to is None and p.is_detect_language is False
    assert [r.getMessage() for r in caplog.records] == ["starting process"]
    assert Process(base + "/").modeldir == base + "//models"
    Process(base)  # a second construction on the same directory works
    assert Process(base, type="TD").document_search is None
    with pytest.raises(TypeError):
        Process(7)


def test_constructions_racing_on_a_new_directory(tmp_path, monkeypatch):
    # Another worker makes the directory between the existence test and
    # makedirs: this construction goes on with it. Any other failure, or a
    # file in the directory's place, still raises.
    base = str(tmp_path / "base")
    real_makedirs = os.makedirs

    def made_meanwhile(path, *args, **kwargs):
        real_makedirs(path)
        return real_makedirs(path, *args, **kwargs)

    monkeypatch.setattr(process_module.os, "makedirs", made_meanwhile)
    assert Process(base).modeldir == base + "/models"
    monkeypatch.undo()
    os.makedirs(str(tmp_path / "other"))
    open(str(tmp_path / "other" / "models"), "w").close()
    monkeypatch.setattr(process_module.os.path, "exists", lambda path: False)
    with pytest.raises(FileExistsError):
        Process(str(tmp_path / "other"))


def test_factories_and_their_defaults(tmp_path, monkeypatch):
    # the per-language models cannot be had here: small stand-ins are loaded
    import wrapper.core.EmbeddingEncoder as encoder_module
    from embedding_models import RecordingLoader

    monkeypatch.setattr(encoder_module, "SentenceTransformer", RecordingLoader())
    batch = Process.create_batch_pipeline(str(tmp_path))
    assert isinstance(batch.document_search, TfidfFinder)
    assert (batch.is_detect_language, batch.translate_to) == (False, None)
    assert batch.document_search.model_filename == str(tmp_path) + "/models/td_model.pkl"
    online = Process.create_online_pipeline_multilingual(str(tmp_path / "sb"))
    assert isinstance(online.document_search, EmbeddingFinder)
    assert online.is_detect_language is True and online.translate_to is Tongue.ENGLISH
    assert online.document_search.base_path == str(tmp_path / "sb") + "/models"
    assert online.document_search.supported_languages is True
    import inspect

    default = inspect.signature(Process.create_online_pipeline_multilingual).parameters["translate_to"].default
    assert default is Tongue.ENGLISH
    assert list(inspect.signature(Process).parameters) == [
        "base_path", "is_detect_language", "translate_to", "type"]


class FakeRecord:
    made = []

    def __init__(self, base_path, is_detect_language, translate_to):
        self.args = (base_path, is_detect_language, translate_to)
        self.featured = None
        FakeRecord.made.append(self)

    def create_features(self, path):
        self.featured = path
        return "ignored"


@pytest.fixture
def fake_kinds(monkeypatch):
    kinds = {}
    for name in ("PDF", "Image", "Video"):
        kinds[name] = type(name, (FakeRecord,), {})
        monkeypatch.setattr(process_module, name, kinds[name])
    FakeRecord.made = []
    return kinds


def test_compile_dispatches_on_the_suffix(fake_kinds):
    for path, kind in [("a/x.pdf", "PDF"), ("x.png", "Image"), ("x.jpg", "Image"),
                       ("x.jpeg", "Image"), ("clip.mp4", "Video")]:
        doc = Process.compile("/base", path, True, Tongue.SPANISH)
        assert type(doc) is fake_kinds[kind]
        assert doc.args == ("/base", True, Tongue.SPANISH)
        assert doc.featured == "/base/" + path
    assert Process.compile("/base", "/abs.pdf").featured == "/base//abs.pdf"


def test_compile_rejects_other_suffixes(fake_kinds, caplog):
    caplog.set_level(logging.INFO)
    for path in ("x.txt", "x.csv", "x.docx"):
        with pytest.raises(Exception) as info:
            Process.compile("/base", path)
        assert str(info.value) == "Without support for document with extension .txt, .csv or .docx."
    assert caplog.records == []
    for path in ("x.PDF", "song.wav", "noext"):
        with pytest.raises(Exception) as info:
            Process.compile("/base", path)
        assert str(info.value) == "Not supported extension for document " + path
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == \
        [("WARNING", "Not supported document")] * 3
    assert FakeRecord.made == []


class FakeEngine:
    def __init__(self):
        self.trained = []
        self.searched = []

    def train_model(self, file):
        self.trained.append(file)
        return "ignored"

    def search_documents(self, *args):
        self.searched.append(args)
        return ("query", [])


def test_compile_doc_train_and_search(tmp_path, fake_kinds, monkeypatch, caplog):
    p = Process(str(tmp_path))
    p.document_search = engine = FakeEngine()
    record = p.compile_doc("doc.pdf", 7)
    assert record.id == 7
    assert p.train_doc(record) is record and engine.trained == [record]
    trained = p.compile_and_train("img.png", "id-1")
    assert engine.trained[-1] is trained and trained.id == "id-1"

    detections = []

    def detect_lang(query, translate_to, original_language):
        detections.append((query, translate_to, original_language))
        return (original_language or Tongue.PORTUGUESE, "normalised " + query, [])

    monkeypatch.setattr(process_module.TongueProbe, "detect_lang", detect_lang)
    caplog.set_level(logging.INFO)
    assert p.search("consulta") == ("query", [])
    assert engine.searched[-1] == ("normalised consulta", "pt", 1, 10)
    assert caplog.records[-1].getMessage() == \
        "Language detected: Tongue.PORTUGUESE - Query: normalised consulta"
    p.search("consulta", Tongue.SPANISH, 3, 5)
    assert engine.searched[-1] == ("normalised consulta", "es", 3, 5)
    assert detections[-1] == ("consulta", None, Tongue.SPANISH)
    p.translate_to = Tongue.ENGLISH
    p.search("consulta")
    assert engine.searched[-1][1] == "en"

    monkeypatch.setattr(process_module.TongueProbe, "detect_lang", lambda *a: (1, 2))
    with pytest.raises(ValueError):
        p.search("consulta")


def test_pipeline_without_engine_fails_when_it_needs_one(tmp_path, fake_kinds):
    p = Process(str(tmp_path))
    with pytest.raises(AttributeError):
        p.compile_and_train("doc.pdf", 1)
    assert len(FakeRecord.made) == 1  # compiled before failing
    with pytest.raises(AttributeError):
        p.train_doc(FakeRecord.made[0])
    with pytest.raises(AttributeError):
        p.search("consulta", Tongue.PORTUGUESE)


def test_load_order_and_interpreter(monkeypatch, tmp_path, caplog):
    import sys

    calls = []
    fake_os = types.SimpleNamespace(system=lambda cmd: calls.append(("system", cmd)) or 1,
                                    path=os.path)
    fake_nltk = types.SimpleNamespace(
        download=lambda pkg, **kw: calls.append(("download", pkg, kw)) or False)
    monkeypatch.setattr(process_module, "os", fake_os)
    monkeypatch.setattr(process_module, "nltk", fake_nltk)
    caplog.set_level(logging.INFO)

    Process.load()
    packages = ["punkt", "stopwords", "wordnet", "rslp"]
    assert [c[0] for c in calls[:2]] == ["system", "system"]
    assert calls[0][1].endswith(" -m spacy download xx_ent_wiki_sm")
    assert calls[1][1].endswith(" -m spacy download pt_core_news_sm")
    assert sys.executable in calls[0][1]
    assert calls[2:] == [("download", p, {"download_dir": None}) for p in packages] + \
        [("download", p, {}) for p in packages]
    assert [r.getMessage() for r in caplog.records] == [
        "Downloading resources...", "Downloading more resources...", "Finish Downloading resources..."]

    calls.clear(); caplog.clear()
    Process.load(str(tmp_path))  # existing directory: only the default one
    assert calls[2:] == [("download", p, {}) for p in packages]
    assert "Downloading more resources..." not in [r.getMessage() for r in caplog.records]

    calls.clear()
    missing = str(tmp_path / "missing")
    Process.load(missing)
    assert calls[2:] == [("download", p, {"download_dir": missing}) for p in packages] + \
        [("download", p, {}) for p in packages]

    # a host that cannot tell its interpreter's path: the shell's python3
    for unknown in (None, ""):
        calls.clear()
        monkeypatch.setattr(sys, "executable", unknown)
        Process.load(str(tmp_path))
        assert [c[1] for c in calls[:2]] == ["python3 -m spacy download xx_ent_wiki_sm",
                                             "python3 -m spacy download pt_core_news_sm"]
