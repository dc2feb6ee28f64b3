"""What the worker processes of the tests of several writers and readers on
one model directory run. KIND is "td" or "sb" (single-model mode, with the
small hashing model of embedding_models instead of a download). Workers
print "ready" once their engine is built.
"""
import json
import os
import time

WORDS = "governo economia inflacao juros futebol campeonato saude vacina escola".split()


def make_engine(kind, modeldir):
    if kind == "td":
        from wrapper.core.TfidfFinder import TfidfFinder
        return TfidfFinder(modeldir)
    import wrapper.core.EmbeddingEncoder as encoder_module
    from embedding_models import RecordingLoader
    encoder_module.SentenceTransformer = RecordingLoader()
    from wrapper.core.EmbeddingFinder import EmbeddingFinder
    return EmbeddingFinder(modeldir)


def make_record(doc_id, n):
    """A record whose text holds its own identifier, so a query for the
    identifier finds it with either engine."""
    from wrapper.core.File import File
    from wrapper.infra.Tongue import Tongue
    r = File.__new__(File)
    r.id = doc_id
    r.text = r.cleaned_text = " ".join(WORDS[(n + k) % len(WORDS)] for k in range(5)) + " " + doc_id
    r.detected_language = Tongue.PORTUGUESE
    r.translate_to = None
    return r


def search_names(kind, engine, query):
    if kind == "td":
        result = engine.search_documents(query, "pt", 1, 10_000)
    else:
        result = engine.search_documents(query, None, 1, 10_000)
    return [row["name"] for row in (result[1] if result else [])]


def writer(kind, modeldir, prefix, count, inp, out):
    """Trains prefix0, prefix1, ... (`count` of them, or with count 0 until
    the file "stop" appears in the directory), writing each identifier to
    `out` once trained. Starts on the first line of `inp`."""
    engine = make_engine(kind, modeldir)
    print("ready", file=out, flush=True)
    inp.readline()
    k = 0
    while k < count or (count == 0 and not os.path.exists(os.path.join(modeldir, "stop"))):
        doc_id = f"{prefix}{k}"
        engine.train_model(make_record(doc_id, k))
        print(doc_id, file=out, flush=True)
        k += 1
        if count == 0:
            time.sleep(0.02)  # a steady stream, not a collection growing without bound


def reader(kind, modeldir, inp, out):
    """Answers each query line of `inp` with the names found, one JSON line."""
    engine = make_engine(kind, modeldir)
    print("ready", file=out, flush=True)
    for line in inp:
        print(json.dumps(search_names(kind, engine, line.strip())), file=out, flush=True)
