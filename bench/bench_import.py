"""What a worker process pays for the package, against the libraries alone.

Each measurement is a fresh interpreter (this one, or --python):

  package    import wrapper.Process, then one TF-IDF training of a few
             documents through the pipeline and one search in a known
             language; then, shown apart, one search whose language is
             detected (lingua's language models load then, whoever calls)
  libraries  import only the libraries the TF-IDF path needs (NumPy, SciPy's
             sparse matrices, scikit-learn's vectorizer and cosine, joblib,
             NLTK's tokenizers, stop words and stemmers, lingua)

and reports peak resident memory (ru_maxrss), wall time and CPU time of the
child, and which of the heavy libraries (torch, transformers,
sentence-transformers, spaCy, PyMuPDF) ended up imported. The two kinds
alternate and the median of --repeat runs is shown, so the machine's load
weighs on both alike.

    PYTHONPATH=build/dev-<name>/python .venv/bin/python bench/bench_import.py
    .venv/bin/python bench/bench_import.py        # the installed package
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

HEAVY = ("torch", "transformers", "sentence_transformers", "spacy", "pymupdf", "fitz")

PACKAGE = r"""
import json, os, resource, sys, time
w0, c0 = time.perf_counter(), time.process_time()
import wrapper.Process
from wrapper.Process import Process
from wrapper.core.File import File
from wrapper.infra import Cleanser
from wrapper.infra.Tongue import Tongue
w_import, c_import = time.perf_counter() - w0, time.process_time() - c0
pipeline = Process.create_batch_pipeline(sys.argv[1])
texts = ["inflação juros banco central decisão taxa",
         "relatório anual de contas e resultados do banco",
         "previsão de chuva e vento forte no litoral"]
for i, text in enumerate(texts):
    doc = File.__new__(File)
    doc.id, doc.text = "doc-%d" % i, text
    doc.tokens, doc.cleaned_text = Cleanser.preprocess_text_for_stemmetization(
        text, Tongue.PORTUGUESE)
    doc.detected_language = Tongue.PORTUGUESE
    pipeline.train_doc(doc)
query, hits = pipeline.search("juros do banco", detected_language=Tongue.PORTUGUESE)
assert hits, "the search found nothing"
rss, wall, cpu = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
                  time.perf_counter() - w0, time.process_time() - c0)
# A query without its language: lingua's detector loads its language models.
query, hits = pipeline.search("juros do banco")
assert hits, "the search found nothing"
print(json.dumps({
    "rss_mb": rss, "wall_s": wall, "cpu_s": cpu,
    "import_wall_s": w_import, "import_cpu_s": c_import,
    "detect_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
    "detect_wall_s": time.perf_counter() - w0, "detect_cpu_s": time.process_time() - c0,
    "heavy": sorted({m.split(".")[0] for m in sys.modules} & set(sys.argv[2].split(","))),
}))
"""

LIBRARIES = r"""
import json, resource, sys, time
w0, c0 = time.perf_counter(), time.process_time()
import joblib
import numpy
import scipy.sparse
import sklearn.feature_extraction.text
import sklearn.metrics.pairwise
import nltk.corpus
import nltk.stem
import nltk.tokenize
import lingua
print(json.dumps({
    "rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
    "wall_s": time.perf_counter() - w0, "cpu_s": time.process_time() - c0,
    "heavy": sorted({m.split(".")[0] for m in sys.modules} & set(sys.argv[2].split(","))),
}))
"""


def run(python, code):
    with tempfile.TemporaryDirectory(prefix="bench-import-") as base:
        done = subprocess.run([python, "-c", code, base, ",".join(HEAVY)],
                              capture_output=True, text=True, cwd=base,
                              env=dict(os.environ, HF_HUB_OFFLINE="1"))
    if done.returncode != 0:
        sys.exit(f"measurement failed ({python}):\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--json", action="store_true", help="print the medians as JSON")
    args = parser.parse_args()

    runs = {"package": [], "libraries": []}
    for _ in range(args.repeat):
        runs["libraries"].append(run(args.python, LIBRARIES))
        runs["package"].append(run(args.python, PACKAGE))

    medians = {}
    for kind, rows in runs.items():
        medians[kind] = {k: statistics.median(r[k] for r in rows)
                         for k in rows[0] if k != "heavy"}
        medians[kind]["heavy"] = sorted({m for r in rows for m in r["heavy"]})
    if args.json:
        print(json.dumps(medians))
        return
    print(f"{args.python}, median of {args.repeat}")
    print(f"{'':34}{'peak RSS':>10}{'wall':>9}{'CPU':>9}   heavy libraries loaded")
    for kind, label in (("libraries", "TF-IDF path libraries alone"),
                        ("package", "wrapper.Process + train + search")):
        m = medians[kind]
        print(f"{label:34}{m['rss_mb']:>7.0f} MB{m['wall_s']:>8.2f}s{m['cpu_s']:>8.2f}s"
              f"   {', '.join(m['heavy']) or '-'}")
    p = medians["package"]
    print(f"{'  of which import wrapper.Process':34}{'':>10}{p['import_wall_s']:>8.2f}s"
          f"{p['import_cpu_s']:>8.2f}s")
    print(f"{'  + a query in an unknown language':34}{p['detect_rss_mb']:>7.0f} MB"
          f"{p['detect_wall_s']:>8.2f}s{p['detect_cpu_s']:>8.2f}s   (lingua's models)")
    print(f"package / libraries: memory {p['rss_mb'] / medians['libraries']['rss_mb']:.2f}x, "
          f"wall {p['wall_s'] / medians['libraries']['wall_s']:.2f}x")


if __name__ == "__main__":
    main()
