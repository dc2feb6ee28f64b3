"""`wrapper index` stopped part-way (Ctrl-C, or killed) and run again: every
good document ends in the model exactly once. And the Dask path: compiles on
a local cluster give the model the process pool gives."""
import os
import signal
import subprocess
import sys
import time

import joblib
import numpy as np
import pytest

import sample_documents as docs
from conftest import needs_nltk_data
from test_cli import model_names, ner_dir, run_cli  # noqa: F401 (fixture)

pytestmark = [needs_nltk_data, pytest.mark.slow]

WORDS = ["anchor", "bridge", "candle", "desert", "engine", "forest", "garden", "harbor",
         "island", "jungle", "kettle", "ladder", "meadow", "needle", "orchard", "pepper"]


def make_pictures(base, count):
    """Pictures (quick to OCR) with two distinct words each, plus one
    unsupported file."""
    base.mkdir(parents=True)
    names = []
    for i in range(count):
        name = f"p{i:02d}.png"
        docs.save_picture(base / name, f"{WORDS[i % 16]} {WORDS[(i * 5 + 3) % 16]}", "PNG")
        names.append(name)
    (base / "skip.wav").write_bytes(b"RIFF")
    return names


def start(base, cwd, *extra):
    env = dict(os.environ, PATH=docs.tool_path(),
               PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    # Started from a background job, a process inherits SIGINT ignored (a
    # shell without job control does that), and Python then leaves it so:
    # the run gets the handler it has when started from a terminal.
    launch = ("import runpy, signal; signal.signal(signal.SIGINT, signal.default_int_handler); "
              "runpy.run_module('wrapper', run_name='__main__', alter_sys=True)")
    return subprocess.Popen([sys.executable, "-c", launch, "index", str(base), "--workers",
                             "2", "--batch-size", "2", *extra], cwd=cwd, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)


def survivors(session, grace=30):
    """Processes still alive in the run's session after `grace` seconds."""
    deadline = time.monotonic() + grace
    while True:
        alive = []
        for pid in os.listdir("/proc"):
            if pid.isdigit():
                try:
                    with open(f"/proc/{pid}/stat") as f:
                        fields = f.read().rsplit(")", 1)[1].split()
                except OSError:
                    continue
                if int(fields[3]) == session and fields[0] != "Z":
                    alive.append(int(pid))
        if not alive or time.monotonic() > deadline:
            return alive
        time.sleep(0.5)


def wait_for_model(base, proc, timeout=600):
    model = base / "models" / "td_model.pkl"
    deadline = time.monotonic() + timeout
    while not model.exists():
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < deadline
        time.sleep(0.2)


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGKILL])
def test_interrupted_run_resumes_without_training_twice(tmp_path, ner_dir, sig):  # noqa: F811
    base = tmp_path / "pictures"
    good = make_pictures(base, 12)
    proc = start(base, ner_dir)
    wait_for_model(base, proc)
    proc.send_signal(sig)
    proc.wait(timeout=300)
    leftovers = survivors(proc.pid)
    # The streams close once every process of the run is gone.
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    out, err = proc.communicate(timeout=60)
    if sig == signal.SIGINT:
        assert proc.returncode == 130, err
        assert "interrupted" in err
    else:
        assert proc.returncode == -signal.SIGKILL
    # Workers and their tools notice that the run is gone and end.
    assert leftovers == [], leftovers
    held = model_names(base)
    assert len(held) == len(set(held)) and 0 < len(held) < len(good)

    again = run_cli(["index", str(base), "--workers", "2", "--batch-size", "2"], cwd=ner_dir)
    assert again.returncode == 1, again.stderr
    assert f"{len(good) - len(held)} documents, {len(held)} already in the model" in \
        again.stderr.replace("indexed ", "")
    names = model_names(base)
    assert sorted(names) == good and names[:len(held)] == held
    assert not (base / "output.pdf").exists()


def model_rows(base):
    """Document name -> TF-IDF row and the vocabulary: the model with the
    training order taken out."""
    model = joblib.load(os.path.join(base, "models", "td_model.pkl"))
    vocabulary = list(model["vectorizer"].get_feature_names_out())
    matrix = model["matrix"].toarray()
    return {name: matrix[i] for i, name in enumerate(model["document_names"])}, vocabulary


def test_dask_cluster_gives_the_process_pool_model(tmp_path, ner_dir, monkeypatch):  # noqa: F811
    distributed = pytest.importorskip("distributed")
    monkeypatch.chdir(ner_dir)  # the cluster's workers start here
    monkeypatch.setenv("PATH", docs.tool_path())
    pool_base = tmp_path / "pool"
    make_pictures(pool_base, 6)
    docs.text_pdf(pool_base / "harbor.pdf", "The harbor crane lifted containers")
    (pool_base / "broken.pdf").write_bytes(b"%PDF-1.4 broken")
    dask_base = tmp_path / "dask"
    subprocess.run(["cp", "-r", str(pool_base), str(dask_base)], check=True)

    assert run_cli(["index", str(pool_base), "--workers", "2"], cwd=ner_dir).returncode == 1
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None, processes=True) as cluster:
        done = run_cli(["index", str(dask_base), "--scheduler", cluster.scheduler_address],
                       cwd=ner_dir)
    assert done.returncode == 1, done.stderr
    pool_rows, pool_vocabulary = model_rows(pool_base)
    dask_rows, dask_vocabulary = model_rows(dask_base)
    assert dask_vocabulary == pool_vocabulary
    assert sorted(dask_rows) == sorted(pool_rows) and len(pool_rows) == 7
    for name, row in pool_rows.items():
        np.testing.assert_allclose(dask_rows[name], row, rtol=0, atol=1e-12)
    report = (dask_base / "models" / "index-failures.jsonl").read_text().splitlines()
    assert sorted(line.split('"')[3] for line in report) == ["broken.pdf", "skip.wav"]
