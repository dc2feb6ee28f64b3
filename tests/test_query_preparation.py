"""Queries are prepared the way the documents they are scored against were:
the default batch pipeline (no language detection) keeps its words
unstemmed on both sides; a pipeline that detects languages stems both."""
import contextlib
import io
import os

import pymupdf
import pytest

import sample_documents
import tiny_ner_model
from conftest import needs_nltk_data
from wrapper.Process import Process
from wrapper.infra import Cleanser, TongueProbe

pytestmark = [pytest.mark.slow, needs_nltk_data]

DOCUMENTS = {
    "en_computers.pdf": "Computers process large amounts of data every second. Programmers "
                        "write software that computes results for scientists and engineers.",
    "en_garden.pdf": "The gardener planted roses and tulips in the spring garden, watering "
                     "the flowers every morning before the sun was high.",
    "pt_economia.pdf": "Os economistas discutem a inflação e os juros do banco central durante "
                       "a crise, e os mercados esperam uma decisão do governo sobre os impostos.",
    "pt_parque.pdf": "As crianças brincam no parque enquanto os pais conversam sobre as viagens "
                     "de verão e os passeios de bicicleta pela cidade.",
    "es_medicos.pdf": "Los médicos recomiendan vacunas para proteger a los niños contra "
                      "enfermedades peligrosas, y los hospitales organizan campañas gratuitas.",
    "es_pescadores.pdf": "Los pescadores salieron al mar temprano y regresaron por la tarde con "
                         "sus barcos llenos de peces para vender en el puerto.",
}

# Some of each document's own words and other forms of some of them.
QUERIES = {
    "computers computing data programmer software results": "en_computers.pdf",
    "gardener planting flowers garden roses watering": "en_garden.pdf",
    "economistas discutem juros do banco central e os impostos": "pt_economia.pdf",
    "as crianças brincando no parque e os passeios de bicicleta": "pt_parque.pdf",
    "los médicos recomiendan vacuna contra las enfermedades para los niños": "es_medicos.pdf",
    "los pescadores regresaron con barco lleno de peces del puerto": "es_pescadores.pdf",
}


def write_pdf(path, text):
    """A small page with `text` in its text layer (small, so OCR is quick)."""
    doc = pymupdf.open()
    page = doc.new_page(width=460, height=130)
    page.insert_textbox(pymupdf.Rect(12, 12, 448, 124), text, fontsize=13,
                        fontfile=sample_documents.FONT, fontname="dejavu")
    doc.save(str(path))
    doc.close()


@pytest.fixture(scope="module")
def pipelines(tmp_path_factory):
    """A default batch pipeline and a detecting one, each trained on the
    documents, with the records they made."""
    made = {}
    with pytest.MonkeyPatch.context() as mp:
        tiny_ner_model.use_model(mp, tmp_path_factory.mktemp("ner"))
        mp.setenv("PATH", sample_documents.tool_path())
        for detect in (False, True):
            base = tmp_path_factory.mktemp("detecting" if detect else "default")
            for name, text in DOCUMENTS.items():
                write_pdf(base / name, text)
            pipeline = Process.create_batch_pipeline(str(base), is_detect_language=detect)
            with contextlib.redirect_stdout(io.StringIO()):
                records = [pipeline.compile_and_train(name, name) for name in DOCUMENTS]
            made[detect] = pipeline, records
    return made


@pytest.mark.parametrize("detect", [False, True], ids=["default", "detecting"])
def test_every_query_finds_its_document_and_keeps_the_words_documents_hold(pipelines, detect):
    pipeline, records = pipelines[detect]
    vocabulary = {token.lower() for record in records for token in record.tokens}
    engine = pipeline.document_search
    for query, expected in QUERIES.items():
        corrected, hits = pipeline.search(query)
        assert hits and hits[0]["name"] == expected, (query, corrected, hits[:2])
        # Prepared as the documents were: words a document holds verbatim
        # reach the scoring unchanged.
        language = TongueProbe.detect_lang(query)[0] if detect else None
        prepared = Cleanser.preprocess_text_for_stemmetization(query, language)[0]
        words = corrected.split()
        assert len(words) == len(prepared)
        kept = [w for w in prepared if w.lower() in vocabulary]
        assert kept and all(words[prepared.index(w)] == w for w in kept), (prepared, words)
        if not detect:
            assert prepared == Cleanser.normalize_text(query).split()
            # The query returned is the one scored: searching it again, as
            # it is, gives the same page.
            assert engine.search_documents(corrected, "en",
                                           prepare_with_language=False) == (corrected, hits)


def test_direct_engine_calls_with_a_language_keep_stemming(pipelines):
    pipeline, _ = pipelines[False]
    engine = pipeline.document_search
    # The engine stems a query when told its language, whatever the
    # documents hold: against unstemmed documents the stems are corrected.
    corrected, _ = engine.search_documents("computers computing", "en")
    assert corrected.split()[0] != "computers"
    corrected, _ = engine.search_documents("computers computing", "en",
                                           prepare_with_language=False)
    assert corrected.split()[0] == "computers"
