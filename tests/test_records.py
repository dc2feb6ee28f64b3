"""The document records: PDF, picture and video kinds over real files and
real tools, and the common feature pipeline with detection and translation
faked at their module boundary."""
import inspect
import os
import types

import pytest

import sample_documents as docs
import tiny_ner_model
import wrapper.core.File as file_module
from wrapper.core.File import File
from wrapper.core.Image import Image
from wrapper.core.PDF import PDF
from wrapper.core.Video import Video
from wrapper.infra import Cleanser, ContentReader, TongueProbe
from wrapper.infra.Tongue import Tongue


def _has_nltk_data(*resources):
    import nltk

    try:
        for resource in resources:
            nltk.data.find(resource)
    except LookupError:
        return False
    return True


# Sentence splitting, tokenising and stop words: what detection and
# language-aware preparation read.
needs_tokenizer_data = pytest.mark.skipif(
    not _has_nltk_data("tokenizers/punkt_tab/english/", "corpora/stopwords"),
    reason="NLTK data not installed: run scripts/setup.sh")


@pytest.fixture(scope="module")
def featured(tmp_path_factory):
    """One record of each kind built from real files through the real
    tools, in a base directory whose name holds a blank and `;`."""
    root = tmp_path_factory.mktemp("records")
    base = root / "base dir;x"
    base.mkdir()
    pdf_path = docs.text_pdf(base / "report one.pdf", "Maria Silva visited Lisbon")
    png_path = docs.save_picture(base / "note.png", "Acme harbor", "PNG")
    jpg_path = docs.save_picture(base / "note.jpg", "Lisbon tramway", "JPEG")
    mp4_path = docs.text_video(base / "clip.mp4", ["Acme"] * 2 + ["Lisbon"] * 2)
    records = {}
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("PATH", docs.tool_path())
        tiny_ner_model.use_model(mp, root / "model")
        for name, kind, path in [("pdf", PDF, pdf_path), ("png", Image, png_path),
                                 ("jpg", Image, jpg_path), ("mp4", Video, mp4_path)]:
            record = kind(str(base))
            assert record.create_features(path) is None
            records[name] = (record, path)
    return types.SimpleNamespace(root=root, base=base, records=records)


@pytest.mark.slow
@pytest.mark.parametrize("name,words,entity", [
    ("pdf", ["maria", "silva", "lisbon"], ("Lisbon", "LOC")),
    ("png", ["acme", "harbor"], ("Acme", "ORG")),
    ("jpg", ["lisbon", "tramway"], ("Lisbon", "LOC")),
    ("mp4", ["acme", "lisbon"], ("Lisbon", "LOC")),
])
def test_real_documents_become_featured_records(featured, name, words, entity):
    record, path = featured.records[name]
    assert record.path == path and record.base_path == str(featured.base)
    assert record.ocr is True and record.objects == []
    lowered = record.text.lower()
    assert all(w in lowered for w in words)
    assert record.extracted_text == record.text
    tokens, cleaned = Cleanser.preprocess_text_for_stemmetization(record.text)
    assert record.tokens == tokens and record.cleaned_text == cleaned
    assert all(w in [t.lower() for t in record.tokens] for w in words)
    assert entity in record.named_entities
    assert record.detected_language is None and record.sentences == []


@pytest.mark.slow
def test_real_documents_leave_only_their_working_copy(featured):
    assert sorted(os.listdir(featured.root)) == ["base dir;x", "model"]
    assert sorted(os.listdir(featured.base)) == [
        "clip.mp4", "note.jpg", "note.png", "output.pdf", "output.pdf.lock", "report one.pdf"]


class Calls:
    """Replaces module functions with recorders returning given results."""

    def __init__(self, monkeypatch):
        self.monkeypatch = monkeypatch
        self.log = []

    def replace(self, module, name, result):
        def fake(*args, **kwargs):
            self.log.append((name, args, kwargs))
            if isinstance(result, BaseException):
                raise result
            return result(*args) if callable(result) else result

        self.monkeypatch.setattr(module, name, fake)

    def of(self, name):
        return [(args, kwargs) for n, args, kwargs in self.log if n == name]


@pytest.fixture
def calls(monkeypatch):
    c = Calls(monkeypatch)
    c.replace(file_module, "extract_named_entities", lambda text: [(text.split()[0], "X")])
    return c


def test_no_text_runs_nothing_and_leaves_entities_none(calls, capsys):
    calls.replace(ContentReader, "extract_text_from_image", "")
    calls.replace(TongueProbe, "detect_lang", AssertionError("detection ran"))
    record = Image("/base", True, Tongue.ENGLISH)
    assert capsys.readouterr().out == "/base\n"
    record.create_features("/base/blank.png")
    assert calls.of("extract_text_from_image") == [(("/base/blank.png",), {})]
    assert record.text is None and record.extracted_text is None
    assert record.tokens == [] and record.sentences == [] and record.cleaned_text is None
    assert record.named_entities is None
    assert calls.of("extract_named_entities") == []
    assert File.tokens == [] and File.named_entities == []


def test_kind_text_prevents_generic_extraction(calls):
    calls.replace(ContentReader, "extract_text_from_pdf", "Acme opened in Lisbon")
    calls.replace(ContentReader, "extract_text_from_any", AssertionError("generic extractor"))
    record = PDF("/base")
    record.create_features("/base/a.pdf")
    assert calls.of("extract_text_from_pdf") == [(("/base/a.pdf", "/base"), {})]
    assert record.tokens == ["Acme", "opened", "in", "Lisbon"]
    assert record.cleaned_text == "Acme opened in Lisbon"
    assert record.named_entities == [("Acme", "X")]
    assert record.tokens is not File.tokens


def test_detection_without_translation(calls):
    calls.replace(ContentReader, "extract_text_from_video", "Texto do video")
    calls.replace(TongueProbe, "detect_lang", (Tongue.PORTUGUESE, "ignored", ["texto do video"]))
    calls.replace(Cleanser, "preprocess_text_for_stemmetization", (["text", "vid"], "text vid"))
    record = Video("/base", is_detect_language=True)
    record.create_features("/base/v.mp4")
    assert calls.of("detect_lang") == [(("Texto do video", None), {"fix_text": True})]
    assert calls.of("preprocess_text_for_stemmetization") == [
        (("Texto do video", Tongue.PORTUGUESE), {})]
    assert record.detected_language is Tongue.PORTUGUESE
    assert record.sentences == ["texto do video"]
    assert record.text == record.extracted_text == "Texto do video"
    assert (record.tokens, record.cleaned_text) == (["text", "vid"], "text vid")


def test_translation_without_detection_prepares_translated_text(calls):
    calls.replace(TongueProbe, "detect_lang", (Tongue.PORTUGUESE, "The red house", ["The red house"]))
    record = File("/base", translate_to=Tongue.ENGLISH)
    record.text = "A casa vermelha"
    record.create_features_base("/base/f")
    assert calls.of("detect_lang") == [(("A casa vermelha", Tongue.ENGLISH), {"fix_text": False})]
    assert record.extracted_text == "A casa vermelha"
    assert record.text == "The red house"
    # No language: nothing removed, nothing stemmed.
    assert record.tokens == ["The", "red", "house"]
    assert record.named_entities == [("The", "X")]


def test_missing_translation_raises_and_keeps_earlier_state(calls):
    calls.replace(TongueProbe, "detect_lang", (Tongue.SPANISH, "", ["hola"]))
    record = Image("/base", False, Tongue.ENGLISH)
    calls.replace(ContentReader, "extract_text_from_image", "Hola mundo")
    with pytest.raises(Exception) as info:
        record.create_features("/base/p.png")
    assert type(info.value) is Exception
    assert str(info.value) == (
        "Text Hola mundo detected lang Tongue.SPANISH not translated to Tongue.ENGLISH")
    assert (record.path, record.text, record.extracted_text) == ("/base/p.png",) + ("Hola mundo",) * 2
    assert record.detected_language is Tongue.SPANISH and record.sentences == ["hola"]
    assert record.tokens == [] and record.cleaned_text is None and record.named_entities == []


def test_results_of_the_wrong_size_raise_unpacking_errors(calls):
    record = File("/base", True)
    record.text = "some words"
    calls.replace(TongueProbe, "detect_lang", (Tongue.ENGLISH, "x"))
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 3, got 2\)"):
        record.create_features_base("/p")
    calls.replace(TongueProbe, "detect_lang", None)
    with pytest.raises(TypeError, match="cannot unpack non-iterable NoneType object"):
        record.create_features_base("/p")
    calls.replace(TongueProbe, "detect_lang", (Tongue.ENGLISH, "x", [], 4))
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 3"):
        record.create_features_base("/p")


def test_list_ner_recomputes_from_current_text(calls):
    record = File("/base")
    assert record.list_NER() is None and record.named_entities is None
    record.text = "Lisbon again"
    assert record.list_NER() == [("Lisbon", "X")] == record.named_entities


def test_find_token_without_language():
    record = File("/base")
    record.tokens = ["lisboa", "mar"]
    assert record.find_token("casa lisboa", None) is True
    assert record.find_token("casa gato", lng=None) is False


@needs_tokenizer_data
def test_find_token_with_language():
    record = File("/base")
    record.tokens, _ = Cleanser.preprocess_text_for_stemmetization(
        "O mar azul de Lisboa", Tongue.PORTUGUESE)
    assert record.find_token("casas de Lisboa") is True
    assert record.find_token("gato preto") is False
    with pytest.raises(Exception, match="it doesn't have tokens"):
        record.find_token("de o a")


@needs_tokenizer_data
def test_detection_and_translation_through_the_real_detector(monkeypatch, tmp_path):
    class FakeTranslator:
        def __init__(self, service_urls=None):
            pass

        async def translate(self, text, dest):
            words = {"O": "The", "navio": "ship", "chegou": "arrived", "a": "at",
                     "Lisboa": "Lisbon", "ontem": "yesterday"}
            return types.SimpleNamespace(text=" ".join(words.get(w, w) for w in text.split()))

    monkeypatch.setattr(TongueProbe, "Translator", FakeTranslator)
    monkeypatch.setattr(ContentReader, "extract_text_from_image",
                        lambda path: "O navio chegou a Lisboa ontem.")
    tiny_ner_model.use_model(monkeypatch, tmp_path)
    record = Image(str(tmp_path), True, Tongue.ENGLISH)
    record.create_features(str(tmp_path / "p.png"))
    assert record.detected_language is Tongue.PORTUGUESE
    assert record.extracted_text == "O navio chegou a Lisboa ontem."
    assert record.text == "The ship arrived at Lisbon yesterday"
    assert record.sentences == ["The ship arrived at Lisbon yesterday"]
    # The translated text is prepared as the target language it is in.
    assert (record.tokens, record.cleaned_text) == Cleanser.preprocess_text_for_stemmetization(
        record.text, Tongue.ENGLISH)
    assert record.tokens == ["ship", "arriv", "lisbon", "yesterday"]
    assert record.named_entities == [("Lisbon", "LOC")]


def test_kinds_are_ordinary_subclassable_classes(capsys):
    for kind in (PDF, Image, Video):
        assert issubclass(kind, File) and kind.objects == []
        assert kind.__module__ == "wrapper.core." + kind.__name__
        assert list(inspect.signature(kind).parameters) == [
            "base_path", "is_detect_language", "translate_to"]

    class Scan(PDF):
        def __init__(self, base_path):
            super().__init__(base_path, True)
            self.extra = 1

    scan = Scan("/b")
    assert (scan.base_path, scan.is_detect_language, scan.translate_to, scan.extra) == (
        "/b", True, None, 1)
    assert capsys.readouterr().out == "/b\n"
    with pytest.raises(TypeError):
        PDF()
