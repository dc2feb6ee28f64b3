"""A process killed at any moment while training leaves a model directory
that loads and holds the documents trained before the one in flight, with
or without that one. Each trial kills a child that trains document after
document, then checks the directory and lets the next child continue it.
WRAPPER_CRASH_TRIALS sets the number of trials per engine (default 6)."""
import json
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import joblib
import pytest

pytestmark = pytest.mark.slow

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
TRIALS = int(os.environ.get("WRAPPER_CRASH_TRIALS", "6"))

CHILD = textwrap.dedent('''
    import contextlib, io, sys
    sys.path.insert(0, {tests_dir!r})
    from wrapper.core.File import File
    from wrapper.infra.Tongue import Tongue

    kind, modeldir, start = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if kind == "td":
        from wrapper.core.TfidfFinder import TfidfFinder
        engine = TfidfFinder(modeldir)
    else:
        import wrapper.core.EmbeddingEncoder as encoder_module
        from embedding_models import RecordingLoader
        encoder_module.SentenceTransformer = RecordingLoader()
        from wrapper.core.EmbeddingFinder import EmbeddingFinder
        engine = EmbeddingFinder(modeldir)
    words = "governo economia inflacao juros futebol campeonato saude vacina escola".split()
    print("ready", flush=True)
    for i in range(start, start + 500):
        with contextlib.redirect_stdout(io.StringIO()):
            record = File(modeldir)
        record.id = "doc%d" % i
        record.text = record.cleaned_text = " ".join(words[(i + k) % 9] for k in range(5)) + " n%d" % i
        record.detected_language = Tongue.PORTUGUESE
        engine.train_model(record)
        print(i, flush=True)
''')


def stored_names(kind, modeldir):
    path = os.path.join(modeldir, kind + "_model.pkl")
    if not os.path.exists(path):  # nothing trained yet
        return []
    data = joblib.load(path)
    if kind == "td":
        assert list(data) == ["matrix", "vectorizer", "document_names", "detected_languages",
                              "cleaned_text"]
        assert data["matrix"].shape[0] == len(data["document_names"])
        return list(data["document_names"])
    assert list(data) == ["multilang_models", "embedded_documents", "document_names"]
    names = data["document_names"].get("main", [])
    assert len(data["embedded_documents"].get("main", [])) == len(names)
    return list(names)


def debug_names(kind, modeldir):
    path = os.path.join(modeldir, "debug_" + kind + "_model.json")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        names = json.load(f)["document_names"]
    return names if kind == "td" else names.get("main", [])


@pytest.mark.parametrize("kind", ["td", "sb"])
def test_killed_training_leaves_a_loadable_model(tmp_path, kind):
    modeldir = str(tmp_path)
    child = tmp_path.parent / f"child_{kind}.py"
    child.write_text(CHILD.format(tests_dir=TESTS_DIR))
    rng = random.Random(7)
    trained = 0
    for trial in range(TRIALS):
        proc = subprocess.Popen([sys.executable, str(child), kind, modeldir, str(trained)],
                                stdout=subprocess.PIPE, text=True)
        assert proc.stdout.readline().strip() == "ready"
        done = []
        for _ in range(rng.randint(0, 4)):
            line = proc.stdout.readline()
            if line:
                done.append(int(line))
        time.sleep(rng.uniform(0.0, 0.25))
        proc.send_signal(signal.SIGKILL)
        rest = proc.stdout.read()
        proc.wait()
        done += [int(x) for x in rest.split()]
        last_reported = done[-1] if done else trained - 1

        names = stored_names(kind, modeldir)
        # the documents reported trained, plus possibly the one in flight
        assert names in ([f"doc{i}" for i in range(last_reported + 1)],
                         [f"doc{i}" for i in range(last_reported + 2)]), (trial, names[-3:])
        debug = debug_names(kind, modeldir)
        assert debug == names[:len(debug)] and len(names) - len(debug) <= 1
        trained = len(names)
    assert trained > 0
