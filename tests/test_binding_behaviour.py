"""The Python face of the C++ modules: functions, classes and module globals
behave as they would if the modules were written in Python."""
import importlib
import inspect
import pickle

import pytest

from conftest import EXT_SUFFIX

from wrapper.core.File import File
from wrapper.infra import Cleanser
from wrapper.infra.Tongue import Tongue

MODULES = [
    "wrapper.infra",
    "wrapper.infra.Tongue",
    "wrapper.infra.EngineKind",
    "wrapper.infra.Cleanser",
    "wrapper.infra.Speller",
    "wrapper.infra.TongueProbe",
    "wrapper.core.File",
    "wrapper.core.FinderBase",
]


@pytest.mark.parametrize("name", MODULES)
def test_every_module_is_a_shared_library(name):
    module = importlib.import_module(name)
    assert module.__file__.endswith(EXT_SUFFIX)
    assert module.__name__ == name


def test_infra_package_is_an_extension_with_a_path():
    import wrapper.infra

    assert wrapper.infra.__file__.endswith("__init__" + EXT_SUFFIX)
    assert wrapper.infra.__path__  # so its submodules import


def test_signatures_keywords_and_defaults():
    sig = inspect.signature(Cleanser.normalize_text)
    assert list(sig.parameters) == ["text", "remove_all_accents", "to_lower"]
    assert sig.parameters["remove_all_accents"].default is True
    assert sig.parameters["to_lower"].default is None
    assert Cleanser.normalize_text(text="É!", remove_all_accents=False, to_lower=True) == "é"
    assert str(inspect.signature(File.__init__)) == (
        "(self, base_path, is_detect_language=False, translate_to=None)")
    assert str(inspect.signature(File("x").set_base_path)) == "(base_path)"


def test_argument_errors_read_like_the_interpreter():
    cases = [
        (lambda: Cleanser.normalize_text(), "normalize_text() missing 1 required positional argument: 'text'"),
        (lambda: Cleanser.normalize_text("a", 1, 2, 3), "normalize_text() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: Cleanser.normalize_text("a", colour=1), "normalize_text() got an unexpected keyword argument 'colour'"),
        (lambda: Cleanser.normalize_text("a", text="b"), "normalize_text() got multiple values for argument 'text'"),
        (lambda: Cleanser.lemantization(), "lemantization() missing 2 required positional arguments: 'word' and 'stemmer'"),
        (lambda: File(), "File.__init__() missing 1 required positional argument: 'base_path'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message


def test_wrong_types_raise_type_error_not_crash():
    for bad in (None, b"bytes", 3, ["list"]):
        with pytest.raises(TypeError):
            Cleanser.normalize_text(bad)
        with pytest.raises(TypeError):
            Cleanser.remove_accents(bad)


def test_classes_are_ordinary_and_subclassable():
    class Custom(File):
        extra = 1

        def __init__(self, base_path):
            super().__init__(base_path, True)

    record = Custom("/base")
    assert isinstance(record, File)
    assert record.is_detect_language is True and record.extra == 1
    record.anything = object()  # instance state is a plain __dict__
    assert "anything" in vars(record)
    assert File.__module__ == "wrapper.core.File" and File.__qualname__ == "File"


def test_functions_and_members_pickle_by_reference():
    assert pickle.loads(pickle.dumps(Cleanser.normalize_text)) is Cleanser.normalize_text
    assert pickle.loads(pickle.dumps(File.__init__)) is File.__init__
    for member in Tongue:
        assert pickle.loads(pickle.dumps(member)) is member


def test_patched_module_global_changes_what_is_called(monkeypatch):
    calls = []

    def fake_tokenize(text, language="english"):
        calls.append((text, language))
        return ["Cats", "Dogs"]

    monkeypatch.setattr(Cleanser, "word_tokenize", fake_tokenize)
    monkeypatch.setattr(Cleanser, "SnowballStemmer", lambda name: type("S", (), {"stem": staticmethod(str.upper)})())

    class FakeStopwords:
        @staticmethod
        def words(name):
            return ["dogs"]

    monkeypatch.setattr(Cleanser, "stopwords", FakeStopwords)
    tokens, text = Cleanser.preprocess_text_for_stemmetization("whatever", Tongue.ENGLISH)
    assert calls == [("whatever", "english")]
    assert tokens == ["CATS"] and text == "CATS"


def test_patched_re_and_unicodedata_are_honoured(monkeypatch):
    import re
    import types

    seen = []

    def sub(pattern, repl, text):
        seen.append(pattern)
        return re.sub(pattern, repl, text)

    monkeypatch.setattr(Cleanser, "re", types.SimpleNamespace(sub=sub))
    assert Cleanser.normalize_text("a-b\nc", False) == "ab c"
    assert seen == ["[^\\w\\s]", "\\n", "\\s+"]

    fake_ud = types.SimpleNamespace(normalize=lambda form, t: t + "!", combining=lambda c: 0)
    monkeypatch.setattr(Cleanser, "unicodedata", fake_ud)
    assert Cleanser.remove_accents("x") == "x!"


def test_print_goes_through_python_print(capsys):
    File("/some/base")
    assert Cleanser.remove_alphanumeric_character("a-b c!") == "abc"
    assert capsys.readouterr().out == "/some/base\na-b c!\n"
