"""A tiny spaCy pipeline (blank multilingual + entity ruler) saved in a
temporary directory under the model name the tagger loads. spaCy resolves
a name that is no installed package as a directory relative to the working
directory, so a test that changes into the parent directory makes the real
loading code find it; nothing is installed."""

import spacy

MODEL_NAME = "xx_ent_wiki_sm"

PATTERNS = [
    {"label": "PER", "pattern": [{"LOWER": "maria"}, {"LOWER": "silva"}]},
    {"label": "LOC", "pattern": [{"LOWER": "lisbon"}]},
    {"label": "ORG", "pattern": [{"LOWER": "acme"}]},
]


def save_model(parent, patterns=PATTERNS):
    """Writes the pipeline to parent/xx_ent_wiki_sm and returns `parent`."""
    parent.mkdir(parents=True, exist_ok=True)
    nlp = spacy.blank("xx")
    nlp.add_pipe("entity_ruler").add_patterns(patterns)
    nlp.to_disk(parent / MODEL_NAME)
    return parent


def use_model(monkeypatch, parent, patterns=PATTERNS):
    """Saves the pipeline under `parent` and makes it the one the tagger
    finds (skips when a real model of that name is installed)."""
    import pytest

    if spacy.util.is_package(MODEL_NAME):
        pytest.skip("a real " + MODEL_NAME + " is installed; it would be loaded instead")
    save_model(parent, patterns)
    monkeypatch.chdir(parent)
    return parent
