"""Bad input to every public function and method: wrong types, empty, huge
(10 MB), surrogate and NUL-bearing strings; missing, unreadable and
directory paths; empty, corrupt and truncated documents, pictures, videos
and model files. Each answers with an exception of a fitting class and a
clear message, or with its described result; the interpreter never dies
and a model file that was good stays byte for byte the same.

The cases run in child processes (bad_input_child.py), one per group, all
started at once; a child killed by a signal is a failure naming the case
it was running, and a fresh child carries on with the cases after it."""
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import time

import pytest

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
GROUPS = ["text", "files", "engines", "unreadable"]
TIMEOUT = 600


class Child:
    """One group's cases, run to the end across as many processes as it
    takes; `findings` maps a case to its problems."""

    def __init__(self, group, folder):
        self.group = group
        self.results = os.path.join(folder, group + ".jsonl")
        self.skip = os.path.join(folder, group + ".skip")
        self.log = os.path.join(folder, group + ".log")
        self.findings = {}
        self.scratch = set()
        self.finished = set()
        self.deaths = []
        self.process = None
        self.started = time.monotonic()
        self._start()

    def _start(self):
        with open(self.skip, "w", encoding="utf-8") as f:
            f.write("\n".join(sorted(self.finished)))
        env = dict(os.environ, HF_HUB_OFFLINE="1", PYTHONFAULTHANDLER="1",
                   PYTHONPATH=os.pathsep.join([TESTS_DIR] + sys.path))
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen(
                [sys.executable, os.path.join(TESTS_DIR, "bad_input_child.py"), self.group,
                 self.results, self.skip],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, env=env)

    def _read(self):
        running, done = None, False
        with open(self.results, encoding="utf-8") as f:
            for line in f:
                entry = json.loads(line)
                if "scratch" in entry:
                    self.scratch.add(entry["scratch"])
                elif "start" in entry:
                    running = entry["start"]
                elif "case" in entry:
                    self.finished.add(entry["case"])
                    if entry["problems"]:
                        self.findings[entry["case"]] = entry["problems"]
                    running = None
                elif "done" in entry:
                    done = True
        return running, done

    def wait(self):
        while True:
            remaining = TIMEOUT - (time.monotonic() - self.started)
            try:
                code = self.process.wait(timeout=max(remaining, 1))
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                code = None
            if not os.path.exists(self.results):
                open(self.results, "w").close()
            running, done = self._read()
            if code == 0 and done:
                return
            if code is None:
                self.findings[running or "(setup)"] = [f"still running after {TIMEOUT} s"]
                return
            cause = (f"killed by {signal.Signals(-code).name}" if code < 0
                     else f"exit status {code}")
            self.deaths.append(cause)
            self.findings[running or "(setup)"] = ["the process died: " + cause]
            if running is None or len(self.deaths) > 3:
                return  # died outside a case, or keeps dying: stop here
            self.finished.add(running)
            self._start()

    def tail(self):
        with open(self.log, "rb") as f:
            return f.read()[-3000:].decode("utf-8", "replace")


@pytest.fixture(scope="module")
def children(tmp_path_factory):
    folder = tmp_path_factory.mktemp("bad-input")
    running = {g: Child(g, str(folder)) for g in GROUPS}
    yield running
    for child in running.values():
        if child.process.poll() is None:
            child.process.kill()
            child.process.wait()
        for folder in child.scratch:
            remove_tree(folder)


def remove_tree(folder):
    """Removes a scratch folder, read-only and closed parts included."""
    def opened(function, path, _):
        os.chmod(os.path.dirname(path), stat.S_IRWXU)
        if os.path.isdir(path):
            os.chmod(path, stat.S_IRWXU)
        function(path)

    shutil.rmtree(folder, onerror=opened)


@pytest.mark.parametrize("group", GROUPS)
def test_bad_input_is_answered_by_a_fitting_error_or_the_described_result(children, group):
    child = children[group]
    child.wait()
    report = "\n".join(f"{name}: " + "; ".join(problems)
                       for name, problems in sorted(child.findings.items()))
    assert not child.findings, (f"{len(child.findings)} of {len(child.finished)} cases in "
                                f"group {group}:\n{report}\n--- child output ---\n"
                                + child.tail())
    assert len(child.finished) > 10  # the group really ran
