"""One compile at a time uses a base directory's OCR working copy, across
threads and across processes; each gets its own document's text."""
import json
import os
import shutil
import subprocess
import sys
import threading
import time

import pytest

import sample_documents as docs
import tiny_ner_model
from wrapper.infra import ContentReader

WAITING = "Waiting for the lock "


def test_threads_take_turns_with_the_working_copy(tmp_path, monkeypatch, caplog):
    # A stand-in tool that copies its input slowly: without turns, one
    # thread would read the copy the other one wrote.
    running, overlaps = [], []

    def slow_copy(input_pdf, output_pdf):
        running.append(input_pdf)
        if len(running) > 1:
            overlaps.append(list(running))
        shutil.copyfile(input_pdf, output_pdf)
        time.sleep(0.3)
        running.remove(input_pdf)

    monkeypatch.setattr(ContentReader, "run_ocrmypdf", slow_copy)
    words = ["Quartz lantern", "Velvet orchard", "Copper meadow"]
    paths = [docs.text_pdf(tmp_path / ("doc%d.pdf" % i), w) for i, w in enumerate(words)]
    start = threading.Barrier(len(paths))
    texts = {}

    def compile_one(path):
        start.wait()
        texts[path] = ContentReader.extract_text_from_pdf(path, str(tmp_path))

    caplog.set_level("DEBUG")
    threads = [threading.Thread(target=compile_one, args=(p,)) for p in paths]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert overlaps == []
    assert [texts[p] for p in paths] == [w + "\n" for w in words]
    waits = [m for m in caplog.messages if m.startswith(WAITING)]
    assert waits and all(str(tmp_path) + "/output.pdf" in m for m in waits)
    assert sorted(os.listdir(tmp_path)) == ["doc0.pdf", "doc1.pdf", "doc2.pdf", "output.pdf",
                                            "output.pdf.lock"]


CHILD = r"""
import json, logging, os, sys, time
sys.path[:0] = sys.argv[4].split(os.pathsep)
logging.basicConfig(level=logging.DEBUG, stream=sys.stderr)
from wrapper.Process import Process
base, name, go = sys.argv[1:4]
open(os.path.join(base, name + ".ready"), "w").close()
while not os.path.exists(go):
    time.sleep(0.01)
record = Process.compile(base, name)
print(json.dumps(record.text))
"""


@pytest.mark.slow
def test_two_processes_compile_scanned_documents_on_one_base(tmp_path):
    names = {"first.pdf": "Marmalade lighthouse", "second.pdf": "Pelican voyage"}
    for name, text in names.items():
        docs.scanned_pdf(tmp_path / name, text)
    go = tmp_path / "go"
    # The records tag entities: the children find the small model in their
    # working directory.
    ner = tmp_path / "ner"
    ner.mkdir()
    tiny_ner_model.save_model(ner)
    env = dict(os.environ, PATH=docs.tool_path(), HF_HUB_OFFLINE="1")
    children = [subprocess.Popen(
        [sys.executable, "-c", CHILD, str(tmp_path), name, str(go), os.pathsep.join(sys.path)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
        stdin=subprocess.DEVNULL, cwd=ner) for name in names]
    deadline = time.monotonic() + 600  # importing the package is slow on a loaded machine
    while not all((tmp_path / (n + ".ready")).exists() for n in names):
        assert time.monotonic() < deadline and all(c.poll() is None for c in children)
        time.sleep(0.05)
    go.touch()
    outputs = [c.communicate(timeout=600) for c in children]
    for (out, err), child, (name, text) in zip(outputs, children, names.items()):
        assert child.returncode == 0, err[-3000:]
        got = json.loads(out.strip().splitlines()[-1]).lower()
        other = [t for n, t in names.items() if n != name][0]
        assert all(w.lower() in got for w in text.split()), (name, got)
        assert not any(w.lower() in got for w in other.split()), (name, got)
        assert "trying new method to extract text from pdf" not in err
    # Both ran at once: one of them waited for the other.
    assert sum(WAITING in err for _, err in outputs) >= 1
