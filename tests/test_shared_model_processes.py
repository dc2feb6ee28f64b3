"""Several worker processes on one model directory: what any of them trained
is kept and seen by all, and a writer killed at any moment leaves no lock,
no lost document and, after the next training, no temporary file.

The workers are forked from the test process, which has imported
everything already: a process then starts in milliseconds, so one writer
can be killed and started again many times. WRAPPER_CRASH_TRIALS raises
the number of kills (never below 50)."""
import fcntl
import json
import os
import queue
import random
import signal
import threading
import time
import traceback

import joblib
import pytest

import model_workers
import wrapper.core.EmbeddingEncoder as encoder_module

pytestmark = pytest.mark.slow

KILLS = max(50, int(os.environ.get("WRAPPER_CRASH_TRIALS", "0")))
MODEL = {"td": "td_model.pkl", "sb": "sb_model.pkl"}


class Forked:
    """A worker process forked from this one, talking through two pipes:
    `target(*args, inp, out)` runs in the child, which ends with it."""

    parent_ends = set()  # closed in every later child, so each pipe ends when it should

    def __init__(self, target, *args):
        to_child, from_parent = os.pipe()
        to_parent, from_child = os.pipe()
        self.pid = os.fork()
        if self.pid == 0:
            code = 1
            try:
                for fd in Forked.parent_ends | {from_parent, to_parent}:
                    os.close(fd)
                with os.fdopen(to_child) as inp, os.fdopen(from_child, "w") as out:
                    target(*args, inp, out)
                code = 0
            except BaseException:
                traceback.print_exc()
            finally:
                os._exit(code)
        os.close(to_child)
        os.close(from_child)
        self.ends = {from_parent, to_parent}
        Forked.parent_ends |= self.ends
        self.stdin = os.fdopen(from_parent, "w")
        self.stdout = os.fdopen(to_parent)

    def ready(self):
        assert self.stdout.readline().strip() == "ready"
        return self

    def send(self, line):
        self.stdin.write(line + "\n")
        self.stdin.flush()

    def kill(self):
        os.kill(self.pid, signal.SIGKILL)

    def finish(self):
        """Closes its input, waits for it to end; (exit code, rest of its output)."""
        self.stdin.close()
        rest = self.stdout.read()
        self.stdout.close()
        Forked.parent_ends -= self.ends
        return os.waitstatus_to_exitcode(os.waitpid(self.pid, 0)[1]), rest.split()


@pytest.fixture(autouse=True)
def loader_restored(monkeypatch):
    # make_engine installs the test loader for the embedding engine; it
    # goes back when the test ends.
    monkeypatch.setattr(encoder_module, "SentenceTransformer", encoder_module.SentenceTransformer)


def stored(kind, modeldir):
    """(model file's names, debug file's names); the model file's parts
    agree with each other."""
    data = joblib.load(os.path.join(modeldir, MODEL[kind]))
    with open(os.path.join(modeldir, f"debug_{kind}_model.json")) as f:
        debug = json.load(f)["document_names"]
    if kind == "td":
        names = data["document_names"]
        assert data["matrix"].shape[0] == len(names) == len(data["cleaned_text"])
        return names, debug
    names = data["document_names"]["main"]
    assert len(data["embedded_documents"]["main"]) == len(names)
    return names, debug["main"]


def seed(kind, modeldir, count=10):
    engine = model_workers.make_engine(kind, modeldir)
    for k in range(count):
        engine.train_model(model_workers.make_record(f"old{k}", k))
    return [f"old{k}" for k in range(count)]


def follow(worker, events):
    for line in worker.stdout:
        events.put(line.strip())
    events.put(None)


@pytest.mark.parametrize("kind", ["td", "sb"])
def test_four_writers_and_a_reader_lose_and_miss_nothing(tmp_path, kind):
    modeldir = str(tmp_path)
    old = seed(kind, modeldir)
    reader = Forked(model_workers.reader, kind, modeldir).ready()
    writers = [Forked(model_workers.writer, kind, modeldir, f"w{w}d", 25).ready()
               for w in range(4)]
    events = queue.Queue()
    threads = [threading.Thread(target=follow, args=(w, events)) for w in writers]
    for t in threads:
        t.start()
    for w in writers:
        w.send("go")

    trained, ended, missed = [], 0, []
    while ended < len(writers):
        doc_id = events.get(timeout=300)
        if doc_id is None:
            ended += 1
            continue
        trained.append(doc_id)
        # The reader's first search after the writer reported the document.
        reader.send(doc_id)
        if doc_id not in json.loads(reader.stdout.readline()):
            missed.append(doc_id)
    for t in threads:
        t.join()
    assert [w.finish()[0] for w in writers] == [0] * 4
    assert reader.finish() == (0, [])
    assert missed == []
    assert len(trained) == 100

    names, debug = stored(kind, modeldir)
    assert sorted(names) == sorted(old + trained)  # each exactly once
    assert debug == names
    fresh = model_workers.make_engine(kind, modeldir)
    assert fresh.load_model() is True
    assert (fresh.document_names if kind == "td" else fresh.document_names["main"]) == names
    for doc_id in ("old3", "w0d0", "w3d24"):
        assert doc_id in model_workers.search_names(kind, fresh, doc_id)


def victim(kind, modeldir, start_at, inp, out):
    """Trains v<start_at>, v<start_at + 1>, ... reporting each, until killed."""
    engine = model_workers.make_engine(kind, modeldir)
    for k in range(start_at, start_at + 1000):
        engine.train_model(model_workers.make_record(f"v{k}", k))
        print(f"v{k}", file=out, flush=True)


def temporaries(modeldir):
    return [n for n in os.listdir(modeldir) if n.startswith(".tmp-")]


@pytest.mark.parametrize("kind", ["td", "sb"])
def test_a_writer_killed_again_and_again_while_others_train(tmp_path, kind):
    modeldir = str(tmp_path)
    old = seed(kind, modeldir, 3)
    writers = [Forked(model_workers.writer, kind, modeldir, f"w{w}d", 0).ready()
               for w in range(2)]
    for w in writers:
        w.send("go")
    rng = random.Random(13)
    reported, next_doc, most_temporaries = [], 0, 0
    try:
        for _ in range(KILLS):
            killed = Forked(victim, kind, modeldir, next_doc)
            # Killed after 0 to 2 documents, at a random moment of the next.
            done = [killed.stdout.readline().strip() for _ in range(rng.randint(0, 2))]
            time.sleep(rng.uniform(0.0, 0.05))
            killed.kill()
            done += killed.finish()[1]
            reported += done
            # The next one goes on after the document possibly in flight.
            next_doc += len(done) + 1
            most_temporaries = max(most_temporaries, len(temporaries(modeldir)))
    finally:
        open(os.path.join(modeldir, "stop"), "w").close()
        results = [w.finish() for w in writers]
    assert [code for code, _ in results] == [0, 0]
    others = [doc_id for _, done in results for doc_id in done]
    assert len(others) >= 2 and len(reported) > 0

    # No stale lock: it is free at once.
    with open(os.path.join(modeldir, MODEL[kind] + ".lock")) as f:
        fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        fcntl.flock(f, fcntl.LOCK_UN)
    names, debug = stored(kind, modeldir)
    assert set(old + reported + others) <= set(names)
    assert len(set(names)) == len(names)
    # The debug file is written after the model file: a kill between the
    # two leaves it one training behind.
    assert set(debug) <= set(names) and len(names) - len(debug) <= 1

    engine = model_workers.make_engine(kind, modeldir)
    engine.train_model(model_workers.make_record("after", 0))
    assert temporaries(modeldir) == []
    names, debug = stored(kind, modeldir)
    assert names[-1] == "after" and debug == names
    print(f"{KILLS} kills: {len(reported)} documents of the killed writer, {len(others)} of "
          f"the others, at most {most_temporaries} temporary files at once")
