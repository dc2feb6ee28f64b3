"""TF-IDF engine at growing collection sizes: what one training, the next
query and a load cost as the collection grows, in one run.

Synthetic corpus (fixed seed): documents of 300 words drawn with a Zipf law
from 200,000 word types. The collection grows through train_models in
batches of 1,000 (timed: batch ingestion); at each size N the report gives,
as CPU time (the machine is shared):

  training     one train_model of a new document, split into computation
               (the same training with the file writers stubbed out) and
               writing (the rest: model file and debug file); beside it a
               raw write + fsync of as many bytes as the two files hold,
               measured in the same run (median of 5)
  copy floor   what any training at this size does even computing nothing:
               the new matrix's arrays made (here a plain copy of the
               last matrix's, into arrays already in memory) and a new
               vocabulary dict in place of the old one (here a copy, the
               old one freed); median of 5
  first query  the first search_documents after a training
  query        median search_documents afterwards
  load         joblib.load of the model file (median of 2), and a new
               engine's construction plus its first training on that file
               (median of 3, with their range), then that engine's first
               query

With --pause S the timed trainings are S seconds apart, as documents
arriving one at a time in a service are (back to back by default).

Ingesting one by one is timed for the first batch only and estimated for
the whole collection from the per-training costs measured at each size.

    PYTHONPATH=build/dev-<name>/python .venv/bin/python bench/bench_scale.py
    ... bench/bench_scale.py --sizes 1000 4000      # a quick run
"""
import argparse
import os
import statistics
import sys
import tempfile
import time
import types

import joblib
import numpy as np

from wrapper.core import TfidfFinder as module
from wrapper.core.FinderBase import FinderBase
from wrapper.core.TfidfFinder import TfidfFinder
from wrapper.infra.Tongue import Tongue

from bench_model_write import raw_write  # write + fsync from a buffer of the file's size

WORDS_PER_DOC = 300
TYPES = 200_000
BATCH = 1_000


def corpus(rng, n):
    letters = np.array(list("abcdefghijklmnopqrstuvwxyz"))
    words = set()
    while len(words) < TYPES:
        for length in rng.randint(3, 13, size=TYPES):
            words.add("".join(rng.choice(letters, length)))
            if len(words) == TYPES:
                break
    words = sorted(words)
    rng.shuffle(words)
    weights = 1.0 / (np.arange(1, TYPES + 1) + 2.7)
    draws = rng.choice(TYPES, size=(n, WORDS_PER_DOC), p=weights / weights.sum())
    return [" ".join(words[i] for i in row) for row in draws]


def record(doc_id, text):
    return types.SimpleNamespace(id=doc_id, text=text, cleaned_text=text,
                                 detected_language=Tongue.ENGLISH)


def cpu(fn, *args):
    start = time.process_time()
    fn(*args)
    return time.process_time() - start


class NoWrite:
    """Stands in for the writers, so a training's computation shows alone."""
    load = staticmethod(joblib.load)

    @staticmethod
    def dump(value, filename):
        open(filename, "wb").close()


def measure(engine, directory, texts, next_doc, trainings, queries, rng, pause):
    model_file = engine.model_filename
    total, computation, first_query, query = [], [], [], []
    for _ in range(trainings):
        time.sleep(pause)
        total.append(cpu(engine.train_model, record(f"new{next_doc}", texts[next_doc])))
        next_doc += 1
        first_query.append(cpu(engine.search_documents, query_of(rng, texts), "en"))
        query += [cpu(engine.search_documents, query_of(rng, texts), "en")
                  for _ in range(queries)]
    real_joblib, real_debug = module.joblib, FinderBase.save_debug_json
    module.joblib, FinderBase.save_debug_json = NoWrite, lambda self, dc, filename: None
    try:
        for _ in range(trainings):
            time.sleep(pause)
            computation.append(cpu(engine.train_model, record(f"new{next_doc}", texts[next_doc])))
            next_doc += 1
    finally:
        module.joblib, FinderBase.save_debug_json = real_joblib, real_debug
    # The stubbed trainings are in memory only: one real training brings
    # the file up to date again.
    engine.train_model(record(f"new{next_doc}", texts[next_doc]))
    next_doc += 1
    size = os.path.getsize(model_file)
    written = size + os.path.getsize(engine.debug_model_filename)
    raw = raw_write(os.path.join(directory, "raw.bin"), written)[0]
    floor = copy_floor(engine)
    load = statistics.median(cpu(joblib.load, model_file) for _ in range(2))
    # A single run of this one varies by half with the state of the
    # machine's memory (pages it hands out for the first time cost several
    # times more to write), so the median of three new engines is given.
    constructions = []
    for _ in range(3):
        fresh = TfidfFinder(directory)
        constructions.append(cpu(lambda: fresh.train_model(
            record(f"new{next_doc}", texts[next_doc]))))
        next_doc += 1
    # The first query of an engine that took its model over from the file
    # builds the query side that training does not need.
    new_first_query = cpu(fresh.search_documents, query_of(rng, texts), "en")
    comp, tot = statistics.median(computation), statistics.median(total)
    return next_doc, {
        "computation": comp, "writing": max(tot - comp, 0.0), "total": tot, "raw": raw,
        "floor": floor,
        "size": size, "first_query": statistics.median(first_query),
        "query": statistics.median(query), "load": load,
        "construct_and_train": statistics.median(constructions),
        "construct_range": (min(constructions), max(constructions)),
        "new_first_query": new_first_query, "engine": fresh,
    }


def copy_floor(engine, runs=5):
    """A new matrix and a new vocabulary, copied instead of computed: about
    what a training at this size moves through memory (the copy reads the
    arrays it writes; a training reads the counts, two thirds of that)."""
    matrix = engine.tfidf_matrix
    sources = [matrix.data, matrix.indices, matrix.indptr]
    targets = [np.empty_like(a) for a in sources]
    for target, source in zip(targets, sources):
        np.copyto(target, source)  # their pages touched once, before the timing
    vocabulary = dict(engine.tfidf_vectorizer.vocabulary_)

    def once():
        nonlocal vocabulary
        for target, source in zip(targets, sources):
            np.copyto(target, source)
        vocabulary = vocabulary.copy()  # the previous one freed, as a training frees it

    return statistics.median(cpu(once) for _ in range(runs))


def query_of(rng, texts):
    words = texts[rng.randint(0, len(texts))].split()
    return " ".join(words[rng.randint(0, len(words))] for _ in range(3))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 4000, 16000, 32000])
    parser.add_argument("--trainings", type=int, default=5)
    parser.add_argument("--queries", type=int, default=10)
    parser.add_argument("--pause", type=float, default=0.0,
                        help="seconds between the timed trainings (documents arriving "
                             "apart, as in a service: memory freed meanwhile may be "
                             "handed back to the system)")
    args = parser.parse_args()
    from wrapper.infra import Cleanser
    real = Cleanser.preprocess_text_for_stemmetization
    # The NLTK steps are left out: the figures are the engine's own.
    Cleanser.preprocess_text_for_stemmetization = lambda text, language=None: real(text, None)

    rng = np.random.RandomState(2024)
    sizes = sorted(args.sizes)
    spare = (3 * args.trainings + 6) * len(sizes)
    texts = corpus(rng, sizes[-1] + spare)
    base, extra = texts[:sizes[-1]], texts[sizes[-1]:]
    print(f"corpus: {len(texts)} documents of {WORDS_PER_DOC} words, {TYPES} word types")
    print(f"{'N':>6} {'vocab':>7} {'compute':>9} {'floor':>7} {'writing':>9} {'raw wr.':>9}"
          f" {'file MB':>8} {'1st qry':>9} {'query':>8} {'load':>8} {'new+1st':>9} {'(range)':>15}"
          f" {'new 1st qry':>11}   (CPU ms)")
    with tempfile.TemporaryDirectory() as directory:
        engine = TfidfFinder(directory)
        have, next_extra, batch_cpu, one_by_one_first = 0, 0, 0.0, None
        rows = []
        for n in sizes:
            while have < n:
                chunk = [record(f"doc{k}", base[k]) for k in range(have, min(have + BATCH, n))]
                if have == 0 and one_by_one_first is None:
                    # The first batch once one by one, on a scratch directory.
                    with tempfile.TemporaryDirectory() as scratch:
                        single = TfidfFinder(scratch)
                        one_by_one_first = sum(cpu(single.train_model, doc) for doc in chunk)
                batch_cpu += cpu(engine.train_models, chunk)
                have += len(chunk)
            start = len(base)
            next_doc, row = measure(engine, directory, texts, start + next_extra,
                                    args.trainings, args.queries, rng, args.pause)
            next_extra = next_doc - start
            engine = row.pop("engine")  # carries on with the reloaded engine
            row["n"], row["vocab"] = n, len(engine.tfidf_vectorizer.vocabulary_)
            rows.append(row)
            low, high = (1000 * v for v in row.pop("construct_range"))
            ms = {k: 1000 * v for k, v in row.items() if k not in ("n", "vocab", "size")}
            print(f"{n:6d} {row['vocab']:7d} {ms['computation']:9.2f} {ms['floor']:7.2f}"
                  f" {ms['writing']:9.2f} {ms['raw']:9.2f} {row['size'] / 1e6:8.1f} {ms['first_query']:9.2f}"
                  f" {ms['query']:8.3f} {ms['load']:8.1f} {ms['construct_and_train']:9.1f}"
                  f" {f'{low:.0f}-{high:.0f}':>15} {ms['new_first_query']:11.1f}",
                  flush=True)
    # One by one: the per-training total, linear between the measured sizes.
    points = [(0, 0.0)] + [(r["n"], r["total"]) for r in rows]
    estimate = sum((b - a) * (ta + tb) / 2 for (a, ta), (b, tb) in zip(points, points[1:]))
    print(f"ingest {sizes[-1]} documents: train_models in batches of {BATCH} "
          f"{batch_cpu:.1f} s CPU; one by one estimated {estimate:.1f} s CPU "
          f"({estimate / batch_cpu:.0f}x); first {min(BATCH, sizes[0])} one by one measured "
          f"{one_by_one_first:.1f} s CPU")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
