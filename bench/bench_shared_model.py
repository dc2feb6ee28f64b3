"""What sharing a model directory costs the TF-IDF engine.

  stat         the check before every search: one stat of the model file
               (measured as os.stat from Python, which adds the call's own
               overhead to the system call the engine makes)
  lock         a training's lock, free: open, flock, unlock, close of the
               lock file (from Python likewise)
  search       search_documents on an unchanged model of N documents
  reload       the first search after another writer replaced the model
               file (here: its modification time changed): the file is read
               again, and the query index built again, before scoring
  load         a fresh engine's load_model of the same file, for comparison

CPU time of this process (time.process_time), so the load of other
programs on the machine counts less; the synthetic corpus is that of
bench_tfidf.py.

    PYTHONPATH=build/dev-<name>/python .venv/bin/python bench/bench_shared_model.py
"""
import argparse
import fcntl
import os
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_tfidf  # noqa: E402

from wrapper.core.TfidfFinder import TfidfFinder  # noqa: E402


def cpu_us(fn, repeat):
    start = time.process_time()
    for _ in range(repeat):
        fn()
    return (time.process_time() - start) / repeat * 1e6


def lock_cycle(path):
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    fcntl.flock(fd, fcntl.LOCK_EX)
    fcntl.flock(fd, fcntl.LOCK_UN)
    os.close(fd)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=8000)
    parser.add_argument("--reloads", type=int, default=3)
    args = parser.parse_args()
    rng = np.random.RandomState(5)
    words, weights = bench_tfidf.lexicon(rng)
    texts = bench_tfidf.documents(rng, words, weights, args.size)
    query = " ".join(words[:3])
    with tempfile.TemporaryDirectory() as base:
        bench_tfidf.write_model(base, texts)
        engine = TfidfFinder(base)
        path = engine.model_filename
        print(f"stat: {cpu_us(lambda: os.stat(path), 20000):.2f} us per call")
        print(f"lock: {cpu_us(lambda: lock_cycle(path + '.lock'), 20000):.2f} us per cycle")

        engine.search_documents(query, "en")  # loads, builds the query index
        search = cpu_us(lambda: engine.search_documents(query, "en"), 20)
        print(f"search, N={args.size}, model unchanged: {search / 1000:.2f} ms")
        reloads = []
        for k in range(args.reloads):
            st = os.stat(path)
            os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1000 * (k + 1)))
            reloads.append(cpu_us(lambda: engine.search_documents(query, "en"), 1))
        print(f"reload + search, N={args.size}: {min(reloads) / 1000:.1f} ms "
              f"(of {args.reloads}: {', '.join(f'{r / 1000:.1f}' for r in reloads)})")
        fresh = TfidfFinder(base)
        print(f"load_model of a fresh engine, N={args.size}: "
              f"{cpu_us(fresh.load_model, 1) / 1000:.1f} ms; model file "
              f"{os.path.getsize(path) / 1e6:.1f} MB")


if __name__ == "__main__":
    main()
