"""Engines sharing one model directory within one process (the processes'
case is test_shared_model_processes.py): trainings merge what another
engine wrote, searches see it, a damaged replacement is survived, dead
writers' temporary files go, and waiting for the lock is logged."""
import concurrent.futures
import logging
import os
import subprocess
import sys
import threading
import time

import joblib
import pytest

import model_workers
from embedding_models import RecordingLoader
from wrapper.core import EmbeddingEncoder as encoder_module
from wrapper.core.EmbeddingFinder import EmbeddingFinder
from wrapper.core.TfidfFinder import TfidfFinder

MODEL = {"td": "td_model.pkl", "sb": "sb_model.pkl"}


@pytest.fixture(autouse=True)
def hashing_loader(monkeypatch):
    monkeypatch.setattr(encoder_module, "SentenceTransformer", RecordingLoader())


def engine(kind, folder):
    return TfidfFinder(str(folder)) if kind == "td" else EmbeddingFinder(str(folder))


def names_in_file(kind, folder):
    names = joblib.load(os.path.join(folder, MODEL[kind]))["document_names"]
    return names if kind == "td" else names["main"]


def train(e, doc_id, n=0):
    e.train_model(model_workers.make_record(doc_id, n))


def found(kind, e, doc_id):
    return doc_id in model_workers.search_names(kind, e, doc_id)


@pytest.mark.parametrize("kind", ["td", "sb"])
def test_two_engines_on_one_directory_keep_and_see_each_others_documents(tmp_path, kind):
    a, b = engine(kind, tmp_path), engine(kind, tmp_path)
    train(b, "b0")
    train(a, "a1", 1)
    assert not found(kind, b, "zz9") and found(kind, b, "a1")  # b read a's file again
    train(b, "b1", 2)
    train(a, "a2", 3)
    assert names_in_file(kind, tmp_path) == ["b0", "a1", "b1", "a2"]
    assert found(kind, b, "a2") and found(kind, a, "b1")
    fresh = engine(kind, tmp_path)
    fresh.load_model()
    assert found(kind, fresh, "b0") and found(kind, fresh, "a2")


def test_identifier_rules_hold_over_the_merged_collection(tmp_path, caplog):
    a, b = TfidfFinder(str(tmp_path)), TfidfFinder(str(tmp_path))
    train(a, "x")
    train(b, "y")  # b holds x and y
    a.train_model(model_workers.make_record("z", 5))  # z, trained by a only
    caplog.set_level(logging.INFO)
    # b holds x: skipped, although a holds another text of it
    b.train_model(model_workers.make_record("x", 7))
    assert caplog.records == []
    # b does not hold z: read from the file, dropped and replaced
    b.train_model(model_workers.make_record("z", 8))
    assert "td--removed doc for document names" in caplog.messages
    data = joblib.load(b.model_filename)
    assert data["document_names"] == ["x", "y", "z"]
    assert data["cleaned_text"]["z"] == model_workers.make_record("z", 8).cleaned_text
    assert data["cleaned_text"]["x"] == model_workers.make_record("x", 0).cleaned_text


@pytest.mark.parametrize("kind", ["td", "sb"])
def test_a_damaged_replacement_keeps_the_model_in_memory(tmp_path, kind, caplog):
    writer, reader = engine(kind, tmp_path), engine(kind, tmp_path)
    train(writer, "a1")
    assert found(kind, reader, "a1")
    path = os.path.join(tmp_path, MODEL[kind])
    good = open(path, "rb").read()
    with open(path + ".new", "wb") as f:
        f.write(good[: len(good) // 2])
    os.replace(path + ".new", path)
    caplog.set_level(logging.ERROR)
    for attempt in (1, 2):  # every search tries again, and says so
        assert found(kind, reader, "a1")
        assert len(caplog.records) == attempt
        assert caplog.records[-1].levelno == logging.ERROR and path in caplog.messages[-1]
    # A training does not write over what it cannot read.
    with pytest.raises(ValueError, match="model file"):
        train(reader, "b1")
    assert open(path, "rb").read() == good[: len(good) // 2]
    with open(path + ".new", "wb") as f:
        f.write(good)
    os.replace(path + ".new", path)
    train(reader, "b1")
    assert found(kind, reader, "b1") and len(caplog.records) == 2
    assert names_in_file(kind, tmp_path) == ["a1", "b1"]


@pytest.mark.parametrize("kind", ["td", "sb"])
def test_a_training_removes_the_temporary_files_of_dead_writers(tmp_path, kind, caplog):
    e = engine(kind, tmp_path)
    train(e, "a")
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    debug = f"debug_{kind}_model.json"
    stale = [f".tmp-{dead.pid}-0-{MODEL[kind]}", f".tmp-{dead.pid}-12-{debug}"]
    kept = [f".tmp-{os.getpid()}-0-{MODEL[kind]}",  # a live writer's
            f".tmp-{dead.pid}-0-{MODEL[kind]}.other",  # not of these files
            f".tmp-{dead.pid}-x-{MODEL[kind]}", "unrelated.tmp"]
    for name in stale + kept:
        open(os.path.join(tmp_path, name), "wb").write(b"x" * 1000)
    caplog.set_level(logging.INFO)
    train(e, "b")
    left = set(os.listdir(tmp_path))
    assert not left & set(stale) and set(kept) <= left
    removed = [m for m in caplog.messages if m.startswith("Removed ")]
    assert len(removed) == 2 and all(f"pid {dead.pid}" in m for m in removed)


HOLDER = """
import fcntl, sys
f = open(sys.argv[1], "a")
fcntl.flock(f, fcntl.LOCK_EX)
print("held", flush=True)
sys.stdin.read()
"""


def test_waiting_for_another_process_is_logged_and_ends_when_it_lets_go(tmp_path, caplog):
    e = TfidfFinder(str(tmp_path))
    train(e, "a")
    lock = e.model_filename + ".lock"
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, lock], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "held\n"
    caplog.set_level(logging.DEBUG)
    worker = threading.Thread(target=train, args=(e, "b"))
    worker.start()
    time.sleep(0.5)
    assert worker.is_alive()  # waiting, not given up
    assert f"Waiting for the lock {lock} held by another process" in caplog.messages
    assert e.document_names == ["a"]
    holder.stdin.close()
    holder.wait()
    worker.join(timeout=60)
    assert not worker.is_alive() and e.document_names == ["a", "b"]
    assert any(m.startswith(f"Took the lock {lock} after ") for m in caplog.messages)


@pytest.mark.parametrize("kind", ["td", "sb"])
def test_threads_training_their_own_engines_on_one_directory(tmp_path, kind):
    engine(kind, tmp_path)  # the embedding engine sets the directory up once
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    barrier = threading.Barrier(4)

    def work(t):
        e = engine(kind, tmp_path)
        barrier.wait()
        for k in range(8):
            train(e, f"t{t}d{k}", k)
            # The same thread takes the lock again inside the engine's own
            # calls (the embedding engine's save_model), and searches.
            assert found(kind, e, f"t{t}d{k}")
        return e

    try:
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            engines = list(pool.map(work, range(4)))
    finally:
        sys.setswitchinterval(previous)
    names = names_in_file(kind, tmp_path)
    assert sorted(names) == sorted(f"t{t}d{k}" for t in range(4) for k in range(8))
    assert all(found(kind, e, "t0d0") and found(kind, e, "t3d7") for e in engines)
