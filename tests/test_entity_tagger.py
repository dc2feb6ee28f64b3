import types

import pytest
import spacy

import tiny_ner_model
from wrapper.infra import EntityTagger


@pytest.fixture
def model_dir(tmp_path, monkeypatch):
    return tiny_ner_model.use_model(monkeypatch, tmp_path / "models")


@pytest.fixture
def load_count(monkeypatch):
    """How many times spaCy really read a pipeline from disk."""
    count = []
    real = spacy.util.load_model_from_path

    def counting(*args, **kwargs):
        count.append(args[0])
        return real(*args, **kwargs)

    monkeypatch.setattr(spacy.util, "load_model_from_path", counting)
    return count


def test_entities_in_text_order_with_repeats(model_dir):
    text = "Maria Silva left Lisbon for ACME, then came back to lisbon."
    assert EntityTagger.extract_named_entities(text) == [
        ("Maria Silva", "PER"), ("Lisbon", "LOC"), ("ACME", "ORG"), ("lisbon", "LOC")]
    assert EntityTagger.extract_named_entities(text="") == []
    assert EntityTagger.extract_named_entities("nothing to see here") == []


def test_model_is_loaded_once_while_unchanged(model_dir, load_count):
    for _ in range(3):
        assert EntityTagger.extract_named_entities("Lisbon") == [("Lisbon", "LOC")]
    assert len(load_count) == 1


def test_changed_model_files_are_reloaded(model_dir, load_count):
    assert EntityTagger.extract_named_entities("Acme in Lisbon") == [
        ("Acme", "ORG"), ("Lisbon", "LOC")]
    tiny_ner_model.save_model(model_dir, [{"label": "MISC", "pattern": [{"LOWER": "lisbon"}]}])
    assert EntityTagger.extract_named_entities("Acme in Lisbon") == [("Lisbon", "MISC")]
    assert EntityTagger.extract_named_entities("Acme in Lisbon") == [("Lisbon", "MISC")]
    assert len(load_count) == 2


def test_model_found_elsewhere_after_a_change_of_directory(model_dir, tmp_path, monkeypatch):
    assert EntityTagger.extract_named_entities("Acme") == [("Acme", "ORG")]
    other = tiny_ner_model.save_model(tmp_path / "other",
                                      [{"label": "PRODUCT", "pattern": [{"LOWER": "acme"}]}])
    monkeypatch.chdir(other)
    assert EntityTagger.extract_named_entities("Acme") == [("Acme", "PRODUCT")]


def test_missing_model_raises_spacy_error(tmp_path, monkeypatch):
    if spacy.util.is_package(tiny_ner_model.MODEL_NAME):
        pytest.skip("a real model is installed")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(OSError, match="xx_ent_wiki_sm"):
        EntityTagger.extract_named_entities("Lisbon")


def test_replaced_spacy_is_called_on_every_call(model_dir, monkeypatch):
    loads = []

    def fake_load(name):
        loads.append(name)
        return lambda text: types.SimpleNamespace(
            ents=[types.SimpleNamespace(text=w, label_="FAKE") for w in text.split()])

    monkeypatch.setattr(EntityTagger, "spacy", types.SimpleNamespace(load=fake_load))
    assert EntityTagger.extract_named_entities("a b") == [("a", "FAKE"), ("b", "FAKE")]
    assert EntityTagger.extract_named_entities("c") == [("c", "FAKE")]
    assert loads == ["xx_ent_wiki_sm", "xx_ent_wiki_sm"]
    monkeypatch.undo()
    assert EntityTagger.spacy is spacy


def test_patched_load_on_the_real_module_is_honoured(model_dir, monkeypatch):
    EntityTagger.extract_named_entities("Lisbon")  # warm the kept pipeline
    monkeypatch.setattr(spacy, "load", lambda name: (lambda text: types.SimpleNamespace(ents=[])))
    assert EntityTagger.extract_named_entities("Lisbon") == []


def test_non_text_is_rejected_by_the_pipeline(model_dir):
    with pytest.raises((TypeError, ValueError)):
        EntityTagger.extract_named_entities(None)
