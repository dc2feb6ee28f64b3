"""The heavy libraries (torch and what stands on it, spaCy, PyMuPDF) load on
first use, yet their names stay module globals that read, patch and delete
as in a Python module. Each case runs in a fresh interpreter so that nothing
this test session imported hides a load."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

HEAVY = ["torch", "transformers", "sentence_transformers", "spacy", "pymupdf", "fitz"]
MODULES = ["wrapper.Process", "wrapper.core.EmbeddingEncoder", "wrapper.core.EmbeddingFinder",
           "wrapper.core.TfidfFinder", "wrapper.core.File", "wrapper.infra.EntityTagger",
           "wrapper.infra.ContentReader"]


def fresh(code, tmp_path):
    """Runs `code` in a new interpreter; returns the JSON it prints last."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path,
                          capture_output=True, text=True, timeout=600,
                          env=dict(os.environ, HF_HUB_OFFLINE="1"))
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def loaded_heavy():
    return "sorted({m.split('.')[0] for m in sys.modules} & set(%r))" % HEAVY


def test_importing_every_module_loads_no_heavy_library(tmp_path):
    out = fresh(f"""
        import importlib, json, sys
        for name in {MODULES!r}:
            importlib.import_module(name)
        print(json.dumps({loaded_heavy()}))
    """, tmp_path)
    assert out == []


def test_deferred_names_read_as_the_libraries_own_objects(tmp_path):
    out = fresh(f"""
        import json, sys
        from wrapper.core import EmbeddingEncoder, EmbeddingFinder
        from wrapper.infra import ContentReader, EntityTagger
        listed = ["SentenceTransformer" in dir(EmbeddingEncoder), "spacy" in dir(EntityTagger),
                  "fitz" in dir(ContentReader)]
        before = {loaded_heavy()}
        import sentence_transformers, spacy, pymupdf
        same = [EmbeddingEncoder.SentenceTransformer is sentence_transformers.SentenceTransformer,
                EmbeddingFinder.SentenceTransformer is sentence_transformers.SentenceTransformer,
                EntityTagger.spacy is spacy, ContentReader.fitz is pymupdf]
        stored = ["SentenceTransformer" in vars(EmbeddingEncoder), "spacy" in vars(EntityTagger)]
        from wrapper.core.EmbeddingEncoder import SentenceTransformer
        try:
            EmbeddingEncoder.no_such_name
            missing = None
        except AttributeError as e:
            missing = str(e)
        print(json.dumps(dict(listed=listed, before=before, same=same, stored=stored,
                              from_import=SentenceTransformer is sentence_transformers.SentenceTransformer,
                              missing=missing)))
    """, tmp_path)
    assert out["listed"] == [True, True, True]
    assert out["before"] == []
    assert out["same"] == [True] * 4 and out["stored"] == [True, True] and out["from_import"]
    assert out["missing"] == ("module 'wrapper.core.EmbeddingEncoder' has no attribute "
                              "'no_such_name'")


def test_a_stand_in_set_before_first_use_is_what_the_code_calls(tmp_path):
    # The engine reads the global at call time: the stand-in is used and the
    # real library is never imported; after `del` the real one comes back.
    out = fresh(f"""
        import json, sys
        from wrapper.core import EmbeddingEncoder
        from wrapper.infra import EntityTagger

        class Model:
            def encode(self, text, **kw):
                return [0.0]
        made = []
        EmbeddingEncoder.SentenceTransformer = lambda name: made.append(name) or Model()
        encoder = EmbeddingEncoder.EmbeddingEncoder(".", corpus_name="some/model")
        EntityTagger.spacy = type(sys)("stand_in")
        EntityTagger.spacy.load = lambda name: (lambda text: type("D", (), {{"ents": []}})())
        entities = EntityTagger.extract_named_entities("Maria mora em Lisboa")
        untouched = {loaded_heavy()}
        del EmbeddingEncoder.SentenceTransformer
        import sentence_transformers
        back = EmbeddingEncoder.SentenceTransformer is sentence_transformers.SentenceTransformer
        print(json.dumps(dict(made=made, entities=entities, untouched=untouched, back=back)))
    """, tmp_path)
    assert out["made"] == ["some/model"]
    assert out["entities"] == []
    assert out["untouched"] == []
    assert out["back"] is True


def test_native_code_loads_a_deferred_library_on_first_call(tmp_path):
    # No Python code reads `fitz` first: the C++ global lookup imports it.
    out = fresh(f"""
        import json, sys
        from wrapper.infra import ContentReader
        try:
            ContentReader._extract_text_from_pdf("no-such.pdf")
            error = None
        except Exception as e:
            error = type(e).__name__
        print(json.dumps(dict(error=error, loaded={loaded_heavy()},
                              stored="fitz" in vars(ContentReader))))
    """, tmp_path)
    assert out["error"] != "NameError"
    assert out["loaded"] == ["pymupdf"] and out["stored"] is True


@pytest.mark.slow
def test_patching_through_monkeypatch_keeps_the_real_object_after(monkeypatch):
    import sentence_transformers

    from wrapper.core import EmbeddingEncoder
    monkeypatch.setattr(EmbeddingEncoder, "SentenceTransformer", "stand-in")
    assert EmbeddingEncoder.SentenceTransformer == "stand-in"
    monkeypatch.undo()
    assert EmbeddingEncoder.SentenceTransformer is sentence_transformers.SentenceTransformer
