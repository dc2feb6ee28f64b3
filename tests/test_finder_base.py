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


def random_plain_value(rng, depth=0):
    """A random value of the kinds debug documents hold, awkward ones included."""
    texts = ["", "plain", 'quote " and \\ backslash', "\b\f\n\r\t\x00\x1f\x7f", "ação",
             "\u20ac\uffff", "\U0001f600 astral", "\ud800 lone surrogate \udfff", "/slash/"]
    numbers = [0, -1, 255, 2 ** 31, -(2 ** 63), 2 ** 63 - 1, 0.1, -0.0,
               1e16, 1e-7, 5e-324, 1.7976931348623157e308, float("nan"), float("inf"),
               float("-inf"), True, False, None]
    kind = rng.randrange(6 if depth < 4 else 2)
    if kind == 0:
        return rng.choice(texts) + str(rng.randrange(100))
    if kind == 1:
        return rng.choice(numbers)
    if kind in (2, 3):
        items = [random_plain_value(rng, depth + 1) for _ in range(rng.randrange(4))]
        return items if kind == 2 else tuple(items)
    keys = texts + [k for k in numbers if k == k]  # NaN keys aside: never equal
    return {rng.choice(keys): random_plain_value(rng, depth + 1) for _ in range(rng.randrange(5))}


def test_the_text_is_json_dumps_for_every_plain_value(tmp_path):
    import random
    rng = random.Random(7)
    path = str(tmp_path / "debug.json")
    for _ in range(300):
        dc = {"value": random_plain_value(rng)}
        FinderBase().save_debug_json(dc, path)
        assert open(path, "rb").read() == json.dumps(dc, indent=4).encode("ascii")


@pytest.mark.parametrize("value, error", [
    ({1, 2}, TypeError),            # not a JSON type: json's own message
    ([object()], TypeError),
    ({(1, 2): "tuple key"}, TypeError),
    ("cycle", ValueError),
    (type("Text", (str,), {})("a str subclass"), None),
    (type("Number", (int,), {})(5), None),
    ({2 ** 64: -(10 ** 40)}, None),
    (10 ** 5000, ValueError),       # beyond the interpreter's digit limit
], ids=["set", "object", "tuple-key", "cycle", "str-subclass", "int-subclass", "long-int",
        "huge-int"])
def test_values_left_to_json_behave_as_json_dumps(tmp_path, value, error):
    path = str(tmp_path / "debug.json")
    if value == "cycle":
        value = []
        value.append(value)
    dc = {"value": value}
    if error is not None:
        with pytest.raises(error) as raised:
            json.dumps(dict(dc, updated_at=""), indent=4)
        with pytest.raises(error) as ours:
            FinderBase().save_debug_json(dc, path)
        assert str(ours.value) == str(raised.value)
        assert not os.path.exists(path)
    else:
        FinderBase().save_debug_json(dc, path)
        assert open(path, "rb").read() == json.dumps(dc, indent=4).encode("ascii")


def test_deep_nesting_is_json_dumps_or_its_recursion_error(tmp_path):
    path = str(tmp_path / "debug.json")
    value = []
    for _ in range(300):
        value = [value, {"k": value}]  # shared, not cyclic
        if len(json.dumps(value)) > 10_000:
            break
    nested = []
    for _ in range(250):
        nested = [nested]
    dc = {"shared": value, "nested": nested}
    FinderBase().save_debug_json(dc, path)
    assert open(path, "rb").read() == json.dumps(dc, indent=4).encode("ascii")
    for _ in range(5000):
        nested = [nested]
    with pytest.raises(RecursionError):
        FinderBase().save_debug_json({"nested": nested}, path)


def test_a_replaced_json_is_the_one_called(tmp_path, monkeypatch):
    path = str(tmp_path / "debug.json")
    calls = []

    def dumps(value, **kwargs):
        calls.append(kwargs)
        return "replaced"
    monkeypatch.setattr(module, "json", types.SimpleNamespace(dumps=dumps))
    FinderBase().save_debug_json({"a": 1}, path)
    assert open(path).read() == "replaced" and calls == [{"indent": 4}]
    monkeypatch.undo()
    monkeypatch.setattr(json, "dumps", dumps)  # the library function itself
    FinderBase().save_debug_json({"a": 1}, path)
    assert open(path).read() == "replaced" and len(calls) == 2
