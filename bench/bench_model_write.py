"""Writing the model files, against a raw write + fsync of the same bytes.

TF-IDF: N documents of 300 words drawn with a Zipf law (s = 1) from 200,000
word types (fixed seed). The model file of N - 1 documents is written by
joblib.dump of the library's own fit; the engine loads it and trains one
document (first training, shown apart), then trains documents one by one:

  train        one train_model: computation, both files
  compute      the same with the model file's write left out (the module's
               joblib replaced by one whose dump does nothing)
  write        train - compute: the model file as the engine writes it
  joblib.dump  the library writing the same model dict
  debug json   FinderBase.save_debug_json of the engine's debug document
  raw          write + fsync of as many bytes as the model file holds

Embedding engine: a model file of K stored embeddings (384 float32 each, one
tensor per document, as encode returns them) under one key, with a fast
stand-in encoder or with all-MiniLM-L6-v2; the engine loads it
(construction) and trains documents one by one: the first training after
construction pickles the models, the next ones write their kept bytes.
Encoding runs on one thread while trainings and encode alone are timed;
"apart from encode" takes from each training the encoding timed inside it
(the ratio with encode timed alone, which runs on a warm cache, is shown
beside it); raw is the median of 5 writes. Times are CPU seconds of this
process (the machine is shared); wall seconds in brackets.

    PYTHONPATH=build/dev-<name>/python .venv/bin/python bench/bench_model_write.py
"""
import argparse
import os
import sys
import tempfile
import time

import joblib
import numpy as np

from wrapper.core import TfidfFinder as tfidf_module
from wrapper.core.File import File
from wrapper.core.FinderBase import FinderBase
from wrapper.core.TfidfFinder import TfidfFinder
from wrapper.infra.Tongue import Tongue

WORDS_PER_DOC = 300
WORD_TYPES = 200_000
DIM = 384


def clock(fn, *args):
    c, w = time.process_time(), time.perf_counter()
    result = fn(*args)
    return time.process_time() - c, time.perf_counter() - w, result


def raw_write(path, size, runs=5):
    """Median of several writes: one write's CPU time varies by tens of
    per cent with the page cache's state."""
    data = os.urandom(min(size, 1 << 24)) * (size // (1 << 24) + 1)
    view = memoryview(data)[:size]

    def write():
        with open(path, "wb") as f:
            f.write(view)
            f.flush()
            os.fsync(f.fileno())
    times = []
    for _ in range(runs):
        times.append(clock(write)[:2])
        os.remove(path)
    return median(times)


def record(doc_id, text, language=Tongue.ENGLISH, cleaned=None):
    doc = File.__new__(File)
    doc.id, doc.text, doc.cleaned_text = doc_id, text, cleaned if cleaned is not None else text
    doc.detected_language, doc.translate_to = language, None
    return doc


def fmt(cpu_wall):
    return f"{cpu_wall[0]:7.3f} [{cpu_wall[1]:7.3f}]"


def median(pairs):
    return tuple(float(np.median([p[k] for p in pairs])) for k in (0, 1))


# ---- TF-IDF -------------------------------------------------------------------

def corpus(n, seed=42):
    rng = np.random.default_rng(seed)
    types = np.array([f"t{k:x}" for k in range(WORD_TYPES)], dtype=object)
    weights = 1.0 / np.arange(1, WORD_TYPES + 1)
    draws = rng.choice(WORD_TYPES, size=(n, WORDS_PER_DOC), p=weights / weights.sum())
    return [" ".join(types[row]) for row in draws]


class NoWrite:
    load = staticmethod(joblib.load)

    @staticmethod
    def dump(value, filename):
        open(filename, "wb").close()


def bench_tfidf(n, repeats):
    from sklearn.feature_extraction.text import TfidfVectorizer

    texts = corpus(n + 2 * repeats)
    base = tempfile.mkdtemp(prefix="bench-write-")
    names = [f"doc{k}" for k in range(n - 1)]
    vectorizer = TfidfVectorizer()
    matrix = vectorizer.fit_transform(texts[:n - 1])
    model = {"matrix": matrix, "vectorizer": vectorizer, "document_names": names,
             "detected_languages": {k: Tongue.PORTUGUESE for k in names},
             "cleaned_text": dict(zip(names, texts[:n - 1]))}
    library = clock(joblib.dump, model, base + "/library.pkl")[:2]
    os.rename(base + "/library.pkl", base + "/td_model.pkl")
    engine = TfidfFinder(base)
    first = clock(engine.train_model, record(f"doc{n - 1}", "x", cleaned=texts[n - 1]))[:2]
    size = os.path.getsize(engine.model_filename)
    train, compute = [], []
    for k in range(repeats):
        train.append(clock(engine.train_model, record(f"new{k}", "x", cleaned=texts[n + k]))[:2])
    tfidf_module.joblib = NoWrite
    try:
        for k in range(repeats):
            doc = record(f"more{k}", "x", cleaned=texts[n + repeats + k])
            compute.append(clock(engine.train_model, doc)[:2])
    finally:
        tfidf_module.joblib = joblib
    dc = {"multilang_models": {k: (v.value if v else None)
                               for k, v in engine.detected_languages.items()},
          "document_names": engine.document_names}
    debug = clock(FinderBase.save_debug_json, engine, dict(dc), base + "/debug.json")[:2]
    model = {"matrix": engine.tfidf_matrix, "vectorizer": engine.tfidf_vectorizer,
             "document_names": engine.document_names,
             "detected_languages": engine.detected_languages,
             "cleaned_text": engine.cleaned_text}
    library = clock(joblib.dump, model, base + "/library.pkl")[:2]
    raw = raw_write(base + "/raw.bin", size)
    t, c = median(train), median(compute)
    write = (t[0] - c[0], t[1] - c[1])
    print(f"TF-IDF N={n:6d}  file {size / 1e6:7.1f} MB")
    print(f"  first training after load {fmt(first)}")
    print(f"  train                     {fmt(t)}")
    print(f"  compute (no model file)   {fmt(c)}")
    print(f"  write = train - compute   {fmt(write)}   ratio to raw {write[0] / raw[0]:5.2f} CPU")
    print(f"  joblib.dump (library)     {fmt(library)}   ratio to raw {library[0] / raw[0]:5.2f} CPU")
    print(f"  debug json                {fmt(debug)}")
    print(f"  raw write + fsync         {fmt(raw)}")
    return base


# ---- embedding engine -----------------------------------------------------------

class FastEncoder:
    """Stands in for a sentence-embedding model: a fixed vector per text."""

    def encode(self, text, convert_to_tensor=False):
        import torch
        g = torch.Generator().manual_seed(len(text))
        return torch.randn(1, DIM, generator=g)[0]


def bench_embedding(k, model, label, repeats):
    import torch
    from wrapper.core.EmbeddingFinder import EmbeddingFinder

    base = tempfile.mkdtemp(prefix="bench-write-")
    torch.manual_seed(0)
    vectors = [v[0] for v in torch.randn(k, 1, DIM).unbind(0)]
    vectors = [v.clone() for v in vectors]  # one storage per document, as encode gives
    names = [f"doc{i}" for i in range(k)]
    data = {"multilang_models": {"en": model}, "embedded_documents": {"en": vectors},
            "document_names": {"en": names}}
    library = clock(joblib.dump, data, base + "/sb_model.pkl")[:2]
    del data, vectors
    load = clock(joblib.load, base + "/sb_model.pkl")[:2]
    construct_cpu, construct_wall, engine = clock(EmbeddingFinder, base, True)
    text = "a short document about the weather in the park"
    first = clock(engine.train_model, record("first", text))[:2]
    # Encoding on one thread, for the trainings as for the encode timed
    # alone: on a shared machine the pool's spinning threads would add CPU
    # time to the one and not the other. The encoding inside each training
    # is timed where it runs (its class's encode wrapped): after the file's
    # write it runs on a cold cache and costs more than the same call alone.
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    inner = []
    cls = type(engine.multilang_models["en"])
    encode_of_class = cls.encode

    def timed_encode(self, *args, **kwargs):
        cpu_wall = clock(lambda: encode_of_class(self, *args, **kwargs))
        inner.append(cpu_wall[:2])
        return cpu_wall[2]
    try:
        model.encode(text, convert_to_tensor=True)  # warm
        encode = median([clock(lambda: model.encode(text, convert_to_tensor=True))[:2]
                         for _ in range(max(repeats, 5))])
        cls.encode = timed_encode
        trainings = [clock(engine.train_model, record(f"n{i}", text))[:2]
                     for i in range(repeats)]
    finally:
        cls.encode = encode_of_class
        torch.set_num_threads(threads)
    if len(inner) != len(trainings):
        raise RuntimeError("the engine did not encode once per training")
    steady = median(trainings)
    apart = median([(t[0] - e[0], t[1] - e[1]) for t, e in zip(trainings, inner)])
    size = os.path.getsize(engine.model_filename)
    raw = raw_write(base + "/raw.bin", size)
    print(f"embedding {label} K={k:6d}  file {size / 1e6:7.1f} MB")
    print(f"  joblib.dump (library)     {fmt(library)}")
    print(f"  joblib.load (library)     {fmt(load)}")
    print(f"  construction (load)       {construct_cpu:7.3f} [{construct_wall:7.3f}]")
    print(f"  first training            {fmt(first)}")
    print(f"  training                  {fmt(steady)}   encode alone {fmt(encode)}"
          f"   inside {fmt(median(inner))}")
    print(f"  training apart from encode{fmt(apart)}   ratio to raw {apart[0] / raw[0]:5.2f} CPU"
          f"   (training - encode alone: {(steady[0] - encode[0]) / raw[0]:5.2f})")
    print(f"  raw write + fsync         {fmt(raw)}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tfidf", type=int, nargs="*", default=[8000, 32000])
    parser.add_argument("--stand-in", type=int, nargs="*", default=[1000, 10000, 100000])
    parser.add_argument("--minilm", type=int, nargs="*", default=[1000, 10000])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}")
    for n in args.tfidf:
        bench_tfidf(n, args.repeats)
    for k in args.stand_in:
        bench_embedding(k, FastEncoder(), "stand-in", args.repeats)
    if args.minilm:
        os.environ.setdefault("HF_HUB_OFFLINE", "1")
        from sentence_transformers import SentenceTransformer
        minilm = SentenceTransformer("sentence-transformers/all-MiniLM-L6-v2", device="cpu")
        for k in args.minilm:
            bench_embedding(k, minilm, "MiniLM", args.repeats)


if __name__ == "__main__":
    main()
