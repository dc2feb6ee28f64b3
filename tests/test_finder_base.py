"""The common base of the search engines: its placeholders and the writer of
the debug file (json.dumps with indent 4, plus the time of writing)."""
import datetime
import json
import os
import types

import pytest

from wrapper.core import FinderBase as module
from wrapper.core.FinderBase import FinderBase


def fixed_clock(monkeypatch, *moments):
    """The module's `datetime` answering now() with the given moments."""
    answers = iter(moments)
    clock = types.SimpleNamespace(now=lambda: next(answers))
    monkeypatch.setattr(module, "datetime", types.SimpleNamespace(datetime=clock))


def test_placeholders_do_nothing():
    base = FinderBase()
    assert [base.train_model(), base.save_model(), base.load_model(),
            base.search_documents()] == [None] * 4
    with pytest.raises(TypeError):
        base.search_documents("a query")  # the object itself only


def test_updated_at_is_the_default_string_form_of_local_time(tmp_path, monkeypatch):
    path = str(tmp_path / "debug.json")
    fixed_clock(monkeypatch, datetime.datetime(2024, 3, 5, 7, 8, 9, 1234),
                datetime.datetime(2024, 3, 5, 17, 8, 10))
    dc = {}
    assert FinderBase().save_debug_json(dc, path) is None
    assert open(path, "rb").read() == b'{\n    "updated_at": "2024-03-05 07:08:09.001234"\n}'
    assert dc == {"updated_at": "2024-03-05 07:08:09.001234"}  # changed in place
    # The same dict again: still one key, the newer time, no fraction at 0 us.
    FinderBase().save_debug_json(dc, path)
    assert open(path, "rb").read() == b'{\n    "updated_at": "2024-03-05 17:08:10"\n}'
    assert os.listdir(tmp_path) == ["debug.json"]


def test_existing_key_keeps_its_place_and_the_text_is_json_dumps(tmp_path, monkeypatch):
    path = str(tmp_path / "debug.json")
    fixed_clock(monkeypatch, datetime.datetime(2024, 1, 2, 3, 4, 5, 6))
    dc = {"a": 1, "updated_at": "old", "names": ["relatório", "\U0001f600"], "empty": {},
          "none": [], "nested": {"x": [1.5, None, True]}, "nan": float("nan"),
          "inf": float("-inf")}
    FinderBase().save_debug_json(dc, path)
    assert list(dc) == ["a", "updated_at", "names", "empty", "none", "nested", "nan", "inf"]
    assert dc["updated_at"] == "2024-01-02 03:04:05.000006"
    text = open(path, "rb").read()
    assert text == json.dumps(dc, indent=4).encode("ascii")
    assert b"relat\\u00f3rio" in text and b"\\ud83d\\ude00" in text
    assert b'"nan": NaN' in text and b'"inf": -Infinity' in text


def test_a_value_json_cannot_hold_leaves_the_old_file(tmp_path):
    path = str(tmp_path / "debug.json")
    with open(path, "w") as f:
        f.write("old content")
    dc = {"x": object()}
    with pytest.raises(TypeError):
        FinderBase().save_debug_json(dc, path)
    assert open(path).read() == "old content"
    assert "updated_at" in dc  # added before serialising
    assert os.listdir(tmp_path) == ["debug.json"]


class FailingFile:
    """A text file whose write and close fail as the test says."""

    def __init__(self, write_error, close_error):
        self.write_error, self.close_error, self.closed = write_error, close_error, 0

    def write(self, text):
        if self.write_error:
            raise self.write_error

    def close(self):
        self.closed += 1
        if self.close_error:
            raise self.close_error


@pytest.mark.parametrize("write_error, close_error, expected", [
    (UnicodeEncodeError("ascii", "x", 0, 1, "no"), OSError(28, "No space left"), UnicodeEncodeError),
    (None, OSError(28, "No space left"), OSError),
])
def test_a_failed_write_is_reported_before_a_failed_close(tmp_path, monkeypatch, write_error,
                                                          close_error, expected):
    path = str(tmp_path / "debug.json")
    with open(path, "w") as f:
        f.write("old content")
    opened = []
    monkeypatch.setattr(module, "open", lambda *args: opened.append(FailingFile(
        write_error, close_error)) or opened[-1], raising=False)
    with pytest.raises(expected) as error:
        FinderBase().save_debug_json({}, path)
    assert error.value is (write_error or close_error)
    assert [f.closed for f in opened] == [1]
    assert open(path).read() == "old content"
