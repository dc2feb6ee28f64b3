"""The pipeline front end to end on real generated documents: OCR, the text
pipeline, both engines, restarts on an existing base directory."""
import contextlib
import io
import os
import shutil
import sys
import types

import pytest

import tiny_ner_model
from conftest import needs_nltk_data
from wrapper.Process import Process
from wrapper.infra import TongueProbe
from wrapper.infra.EngineKind import EngineKind
from wrapper.infra.Tongue import Tongue

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "examples"))
import make_samples  # noqa: E402

pytestmark = [pytest.mark.slow, needs_nltk_data]

DOCUMENTS = ["pt_futebol.pdf", "pt_saude.png", "pt_economia.pdf", "en_space.pdf",
             "en_cooking.png", "es_playas.pdf", "es_tecnologia.jpg"]


def write_documents(directory, names):
    os.makedirs(directory, exist_ok=True)
    for name in names:
        kind, text = make_samples.DOCUMENTS[name]
        path = os.path.join(directory, name)
        if kind == "pdf":
            make_samples.write_pdf_with_text(path, text)
        elif kind == "scan":
            make_samples.write_scanned_pdf(path, text)
        else:
            make_samples.picture_of_text(text).convert("L").save(path)


@pytest.fixture(scope="module")
def entity_model(tmp_path_factory):
    with pytest.MonkeyPatch.context() as mp:
        tiny_ner_model.use_model(mp, tmp_path_factory.mktemp("ner"))
        yield


@pytest.fixture(scope="module")
def batch(tmp_path_factory, entity_model):
    base = str(tmp_path_factory.mktemp("batch"))
    write_documents(base, DOCUMENTS)
    pipeline = Process.create_batch_pipeline(base, is_detect_language=True)
    records = {}
    with contextlib.redirect_stdout(io.StringIO()):
        for name in DOCUMENTS:
            records[name] = pipeline.compile_and_train(name, name)
    return pipeline, records


def names(result):
    return [hit["name"] for hit in result[1]]


@pytest.mark.parametrize("query,expected", [
    ("vitória do time no campeonato de futebol", "pt_futebol.pdf"),
    ("vacinação contra a gripe nos postos de saúde", "pt_saude.png"),
    ("inflação e taxa de juros do banco central", "pt_economia.pdf"),  # scanned
    ("images of a distant galaxy", "en_space.pdf"),
    ("bake the bread in the oven", "en_cooking.png"),
    ("turistas en las playas del sur", "es_playas.pdf"),
    ("inteligencia artificial en las empresas", "es_tecnologia.jpg"),
])
def test_batch_pipeline_finds_the_document_about_the_query(batch, query, expected):
    pipeline, _ = batch
    assert names(pipeline.search(query))[0] == expected


def test_records_carry_language_tokens_and_identifier(batch):
    _, records = batch
    for name, record in records.items():
        assert record.id == name
        assert record.detected_language.value == name[:2]
        assert record.tokens and record.cleaned_text == " ".join(record.tokens)
        assert record.ocr is True and record.path.endswith("/" + name)


def test_typo_is_corrected_against_the_vocabulary(batch):
    pipeline, _ = batch
    corrected, hits = pipeline.search("galaxxy telescpe")
    assert hits and hits[0]["name"] == "en_space.pdf"
    assert "galaxi" in corrected.split()


def test_paging(batch):
    pipeline, _ = batch
    everything = names(pipeline.search("futebol campeonato casa", Tongue.PORTUGUESE, 1, 10))
    pages = [names(pipeline.search("futebol campeonato casa", Tongue.PORTUGUESE, p, 1))
             for p in range(1, len(everything) + 2)]
    assert [n for page in pages for n in page] == everything
    assert pages[-1] == []


def test_restart_searches_what_an_earlier_pipeline_trained(batch):
    pipeline, _ = batch
    again = Process.create_batch_pipeline(pipeline.base_path, is_detect_language=True)
    query = "turistas en las playas del sur"
    assert again.search(query) == pipeline.search(query)


def test_default_batch_pipeline_without_detection(tmp_path, entity_model):
    """The factory's default: no detection, so records carry no language
    and the query is prepared for the language the caller names."""
    base = str(tmp_path)
    chosen = ["pt_futebol.pdf", "pt_saude.png", "en_space.pdf"]
    write_documents(base, chosen)
    pipeline = Process.create_batch_pipeline(base)
    with contextlib.redirect_stdout(io.StringIO()):
        records = [pipeline.compile_and_train(name, i) for i, name in enumerate(chosen)]
    assert [r.detected_language for r in records] == [None, None, None]
    assert [r.id for r in records] == [0, 1, 2]
    _, hits = pipeline.search("vacinação contra a gripe", Tongue.PORTUGUESE)
    assert hits[0]["name"] == 1 and hits[0]["language"] is None
    _, hits = pipeline.search("galaxy telescope images", Tongue.ENGLISH)
    assert hits[0]["name"] == 2


def test_translating_pipeline(tmp_path, entity_model, monkeypatch):
    # OCR in its default language may drop accents: look words up without them
    dictionary = {"campanha": "campaign", "vacinacao": "vaccination", "gripe": "flu",
                  "saude": "health", "postos": "centres", "criancas": "children"}

    def plain(word):
        import unicodedata
        return "".join(c for c in unicodedata.normalize("NFD", word.lower())
                       if not unicodedata.combining(c))

    class FakeTranslator:
        def __init__(self, service_urls=None):
            pass

        async def translate(self, text, dest):
            assert dest == "en"
            return types.SimpleNamespace(
                text=" ".join(dictionary.get(plain(w), w) for w in text.split()))

    monkeypatch.setattr(TongueProbe, "Translator", FakeTranslator)
    base = str(tmp_path)
    write_documents(base, ["pt_saude.png", "en_cooking.png"])
    pipeline = Process(base, True, Tongue.ENGLISH, EngineKind.TD)
    with contextlib.redirect_stdout(io.StringIO()):
        record = pipeline.compile_and_train("pt_saude.png", 1)
        pipeline.compile_and_train("en_cooking.png", 2)
    assert record.detected_language is Tongue.PORTUGUESE
    assert "vaccination" in record.text and "vaccination" not in record.extracted_text
    query, hits = pipeline.search("flu vaccination campaign for children")
    assert hits[0]["name"] == 1


def minilm_cached():
    try:
        from huggingface_hub import try_to_load_from_cache
        return isinstance(try_to_load_from_cache("sentence-transformers/all-MiniLM-L6-v2",
                                                 "config.json"), str)
    except Exception:
        return False


@pytest.mark.skipif(not minilm_cached(),
                    reason="all-MiniLM-L6-v2 is not in the Hugging Face cache: run scripts/setup.sh")
def test_embedding_pipeline_with_the_real_english_model(tmp_path, entity_model, monkeypatch):
    import joblib
    from sentence_transformers import SentenceTransformer

    monkeypatch.setenv("HF_HUB_OFFLINE", "1")
    base = str(tmp_path / "sb")
    english = ["en_space.pdf", "en_cooking.png", "en_ocean.pdf"]
    write_documents(base, english)
    # The Portuguese and multilingual models cannot be had here; the engine
    # prepares all three languages on start, so their cached copies hold
    # the English model. Only English documents are trained and searched.
    model = SentenceTransformer("sentence-transformers/all-MiniLM-L6-v2")
    for identifier in ("neuralmind/bert-large-portuguese-cased",
                       "sentence-transformers/paraphrase-multilingual-MiniLM-L12-v2"):
        path = os.path.join(base, "models", identifier)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        joblib.dump(model, path)

    pipeline = Process(base, True, None, EngineKind.SB)
    with contextlib.redirect_stdout(io.StringIO()):
        for name in english:
            pipeline.compile_and_train(name, name)
    expectations = {"pictures of far away stars": "en_space.pdf",
                    "how to make a loaf at home": "en_cooking.png",
                    "sea creatures losing their habitat": "en_ocean.pdf"}
    for query, expected in expectations.items():
        assert names(pipeline.search(query, Tongue.ENGLISH))[0] == expected

    # a new pipeline on the same directory reads the index and the models'
    # copies; no model is obtained again
    import wrapper.core.EmbeddingEncoder as encoder_module

    def refuse(identifier):
        raise AssertionError("model loader called for " + identifier)

    monkeypatch.setattr(encoder_module, "SentenceTransformer", refuse)
    again = Process(base, True, None, EngineKind.SB)
    for query, expected in expectations.items():
        assert names(again.search(query, Tongue.ENGLISH))[0] == expected
    shutil.rmtree(base)
