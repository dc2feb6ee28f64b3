"""Checks an installed package on the interpreter that runs this script:
every module imports, one TF-IDF training and search, one sentence-embedding
training and search with the real English model (scripts/provision_minilm.py
puts it in the Hugging Face cache). Each step reports ok or what failed, and
the exit status counts the failures.

    PYTHON=python3.12 scripts/setup.sh
    HF_HUB_OFFLINE=1 .venv-py312/bin/python scripts/smoke_interpreter.py
"""
import importlib
import importlib.metadata
import os
import pkgutil
import platform
import sys
import tempfile
import traceback

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

MINILM = "sentence-transformers/all-MiniLM-L6-v2"
DOCUMENTS = {
    "baking": "The recipe calls for flour, sugar, butter and eggs, baked in the oven.",
    "football": "The striker scored twice and the team won the championship final.",
    "economy": "The central bank raised interest rates to slow down rising inflation.",
}
QUERIES = {"how do I make a cake": "baking", "monetary policy and prices": "economy"}


def every_module():
    import wrapper
    names = ["wrapper"]
    for info in pkgutil.walk_packages(wrapper.__path__, "wrapper."):
        names.append(info.name)
    for name in names:
        importlib.import_module(name)
    return f"{len(names)} modules"


def record(doc_id, text, language):
    from wrapper.core.File import File
    doc = File.__new__(File)  # a real record without the constructor's print
    doc.id, doc.text, doc.detected_language, doc.translate_to = doc_id, text, language, None
    return doc


def tfidf():
    import joblib

    from wrapper.core.TfidfFinder import TfidfFinder
    from wrapper.infra import Cleanser
    from wrapper.infra.Tongue import Tongue
    with tempfile.TemporaryDirectory() as base:
        engine = TfidfFinder(base)
        for doc_id, text in DOCUMENTS.items():
            doc = record(doc_id, text, Tongue.ENGLISH)
            doc.tokens, doc.cleaned_text = Cleanser.preprocess_text_for_stemmetization(
                text, Tongue.ENGLISH)
            engine.train_model(doc)
        query, rows = engine.search_documents("interest rates of the bank", Tongue.ENGLISH)
        assert rows and rows[0]["name"] == "economy", (query, rows)
        stored = joblib.load(engine.model_filename)  # this joblib reads the engine's file
        shapes = {k: getattr(v, "shape", None) for k, v in stored.items()}
        return f"top hit {rows[0]['name']!r}, model file {shapes}"


def embedding():
    from wrapper.core import EmbeddingEncoder
    from wrapper.core.EmbeddingFinder import EmbeddingFinder
    from wrapper.infra.Tongue import Tongue
    real = EmbeddingEncoder.SentenceTransformer
    # Only the English model is to be had offline: it serves every language.
    EmbeddingEncoder.SentenceTransformer = lambda identifier: real(MINILM)
    try:
        with tempfile.TemporaryDirectory() as base:
            engine = EmbeddingFinder(base, True)
            for doc_id, text in DOCUMENTS.items():
                engine.train_model(record(doc_id, text, Tongue.ENGLISH))
            found = {q: engine.search_documents(q, "en")[1][0]["name"] for q in QUERIES}
            assert found == QUERIES, found
            return f"paraphrases found: {found}"
    finally:
        del EmbeddingEncoder.SentenceTransformer


def main():
    print(f"Python {platform.python_version()} at {sys.executable}")
    versions = {}
    for dist in ("numpy", "scipy", "scikit-learn", "joblib", "torch", "sentence-transformers"):
        try:
            versions[dist] = importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            versions[dist] = "missing"
    print("  " + ", ".join(f"{k} {v}" for k, v in versions.items()))
    failures = 0
    for step in (every_module, tfidf, embedding):
        try:
            print(f"ok   {step.__name__}: {step()}")
        except Exception:  # report every step, not only the first failure
            failures += 1
            print(f"FAIL {step.__name__}:\n{traceback.format_exc()}")
    return failures


if __name__ == "__main__":
    sys.exit(main())
