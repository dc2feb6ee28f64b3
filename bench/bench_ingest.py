"""Ingesting a folder: a plain loop of compile_and_train (the reference)
against `wrapper index --workers 2` and against the same entry on a Dask
LocalCluster (2 worker processes on the loopback address).

The folder is generated: pictures, PDFs with a text layer and scanned PDFs,
each with a few distinct words. Each way runs in a fresh process on its own
copy of the folder (library import included, as a user pays it), and is
measured by wall time and by the CPU time of its whole process tree. The
machine may be shared: the load average is printed beside the figures.

Run: PYTHONPATH=build/dev-<name>/python .venv/bin/python bench/bench_ingest.py [N]
"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

TESTS = Path(__file__).resolve().parent.parent / "tests"
sys.path.insert(0, str(TESTS))

import joblib  # noqa: E402

import sample_documents as docs  # noqa: E402
import tiny_ner_model  # noqa: E402

WORDS = ("anchor bridge candle desert engine forest garden harbor island jungle kettle "
         "ladder meadow needle orchard pepper quarry river saddle timber valley walnut").split()

LOOP = """
import os, sys
from wrapper.Process import Process
from wrapper.cli import find_documents
base = sys.argv[1]
pipeline = Process.create_batch_pipeline(base)
for rel in find_documents(base):
    try:
        pipeline.compile_and_train(rel, rel)
    except Exception:
        pass
"""

DASK = """
import sys
from distributed import Client, LocalCluster
from wrapper.cli import index_documents
with LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                  dashboard_address=None) as cluster, Client(cluster) as client:
    print(index_documents(sys.argv[1], executor=client.get_executor()), file=sys.stderr)
"""


def make_folder(base, count):
    base.mkdir(parents=True)
    for i in range(count):
        words = " ".join(WORDS[(i * k + k) % len(WORDS)] for k in (1, 3, 7)) + f" n{i}"
        kind = i % 20
        if kind < 14:
            docs.save_picture(base / f"pic{i:03d}.png", words, "PNG")
        elif kind < 19:
            docs.text_pdf(base / f"text{i:03d}.pdf", words)
        else:
            docs.scanned_pdf(base / f"scan{i:03d}.pdf", words)


def adopt_orphans():
    """Become the reaper of our descendants' orphans (a pool's server
    process outlives the command that started it), so that the CPU time of
    every process a run started is counted once it has been waited for."""
    import ctypes

    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def run(label, argv, cwd, env, count):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    load = os.getloadavg()[0]
    start = time.perf_counter()
    done = subprocess.run(argv, cwd=cwd, env=env, capture_output=True, text=True)
    wall = time.perf_counter() - start
    while True:  # the run's orphans end on their own once it has
        try:
            os.wait()
        except ChildProcessError:
            break
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    if done.returncode not in (0, 1):
        sys.exit(f"{label} failed ({done.returncode}):\n{done.stderr[-2000:]}")
    print(f"{label:<34} {wall:8.1f} s wall {count / wall:7.3f} doc/s   "
          f"{cpu:8.1f} s CPU {cpu / count:6.2f} CPU s/doc   load {load:.1f}->{os.getloadavg()[0]:.1f}",
          flush=True)
    return wall, cpu


def model_names(base):
    return sorted(joblib.load(base / "models" / "td_model.pkl")["document_names"])


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    adopt_orphans()
    python = sys.executable
    with tempfile.TemporaryDirectory(prefix="bench-ingest-") as tmp:
        work = Path(tmp)
        ner = tiny_ner_model.save_model(work / "ner")
        make_folder(work / "source", count)
        bases = {}
        for name in ("loop", "pool", "dask"):
            bases[name] = work / name
            shutil.copytree(work / "source", bases[name])
        env = dict(os.environ, PATH=docs.tool_path(), HF_HUB_OFFLINE="1",
                   PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
        print(f"{count} documents (70% pictures, 25% PDFs with text, 5% scanned PDFs), "
              f"{os.cpu_count()} cores, load average {os.getloadavg()}")
        loop = run("loop of compile_and_train", [python, "-c", textwrap.dedent(LOOP),
                                                 str(bases["loop"])], ner, env, count)
        pool = run("wrapper index --workers 2", [python, "-m", "wrapper", "index",
                                                 str(bases["pool"]), "--workers", "2", "-q"],
                   ner, env, count)
        dask = run("Dask LocalCluster, 2 workers", [python, "-c", textwrap.dedent(DASK),
                                                    str(bases["dask"])], ner, env, count)
        names = {name: model_names(base) for name, base in bases.items()}
        same = names["loop"] == names["pool"] == names["dask"]
        print(f"models hold the same {len(names['loop'])} documents: {same}")
        print(f"wall-time ratio loop/pool {loop[0] / pool[0]:.2f}x, loop/dask {loop[0] / dask[0]:.2f}x; "
              f"CPU ratio pool/loop {pool[1] / loop[1]:.2f}, dask/loop {dask[1] / loop[1]:.2f}")


if __name__ == "__main__":
    main()
