"""The trainer loop of index_documents with the compile and the engine
replaced at their module globals: batching, skipping what the model holds,
a batch that fails, a failing compile, and an interruption."""
import concurrent.futures
import json
import types

import pytest

from wrapper import cli


class FakeEngine:
    def __init__(self, held=(), refuse=()):
        self.document_names = list(held)
        self.refuse = set(refuse)
        self.batches = []

    def load_model(self):
        return True

    def train_models(self, records):
        ids = [r.id for r in records]
        if self.refuse & set(ids):
            raise ValueError("cannot train " + ",".join(sorted(self.refuse & set(ids))))
        self.batches.append(ids)
        self.document_names += [i for i in ids if i not in self.document_names]


@pytest.fixture
def setup(tmp_path, monkeypatch):
    for name in ["a.png", "b.png", "c.png", "d.png", "e.png", "bad.png", "stop.png"]:
        (tmp_path / name).write_bytes(b"")
    engine = FakeEngine()

    class FakeProcess:
        def __init__(self, base, detect, translate_to, kind):
            self.modeldir = base + "/models"
            self.document_search = engine
            (tmp_path / "models").mkdir(exist_ok=True)

    def compile_document(base, rel, detect, translate_to):
        if rel == "bad.png":
            raise OSError("unreadable " + rel)
        if rel == "stop.png":
            raise KeyboardInterrupt
        return types.SimpleNamespace(id=rel, text="some text")

    monkeypatch.setattr(cli, "Process", FakeProcess)
    monkeypatch.setattr(cli, "compile_document", compile_document)
    return tmp_path, engine


def report(base):
    with open(base / "models" / "index-failures.jsonl") as f:
        return [json.loads(line) for line in f]


def index(base, paths, **kwargs):
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        return cli.index_documents(str(base), paths, executor=pool, **kwargs)


def test_batches_skip_held_documents_and_isolate_a_failing_record(setup):
    base, engine = setup
    engine.document_names = ["a.png"]
    engine.refuse = {"d.png"}
    summary = index(base, ["a.png", "b.png", "c.png", "d.png", "e.png", "bad.png"],
                    batch_size=2, engine="TD", translate_to="en")
    assert summary["skipped"] == 1 and summary["indexed"] == 3 and summary["failed"] == 2
    assert sorted(engine.document_names) == ["a.png", "b.png", "c.png", "e.png"]
    assert all(len(batch) <= 2 for batch in engine.batches)
    lines = {line["path"]: line for line in report(base)}
    assert lines["bad.png"] == {"path": "bad.png", "type": "OSError", "message": "unreadable bad.png"}
    assert lines["d.png"]["type"] == "ValueError" and "d.png" in lines["d.png"]["message"]


def test_interruption_keeps_what_was_compiled(setup):
    base, engine = setup
    with pytest.raises(KeyboardInterrupt):
        index(base, ["a.png", "b.png", "stop.png", "c.png"], batch_size=100)
    # What was compiled before the interruption is trained, once.
    names = engine.document_names
    assert {"a.png", "b.png"} <= set(names) <= {"a.png", "b.png", "c.png"}
    assert len(names) == len(set(names))
    assert report(base) == []


def test_bad_arguments(setup):
    base, _ = setup
    with pytest.raises(ValueError, match="engine"):
        index(base, None, engine="xx")
    with pytest.raises(ValueError, match="batch_size"):
        index(base, None, batch_size=0)
    with pytest.raises(ValueError):
        index(base, None, translate_to="fr")
    with pytest.raises(NotADirectoryError):
        index(base / "a.png", None)
