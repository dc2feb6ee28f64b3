"""Spelling correction through the dictionary checker."""
import pytest

from wrapper.infra import Speller
from wrapper.infra.Tongue import Tongue


class Unsupported:
    value = "xx"


def test_empty_input_returns_empty_before_looking_at_the_language(monkeypatch):
    monkeypatch.setattr(Speller, "SpellChecker", None)  # must not be created
    assert Speller.fix_word("   ", Tongue.ENGLISH) == ""
    assert Speller.fix_word("", Unsupported()) == ""


def test_unknown_words_come_back_corrected_once():
    assert Speller.fix_word("hello world", Tongue.ENGLISH) == ""
    from spellchecker import SpellChecker

    spell = SpellChecker(language="en")
    expected = sorted(spell.correction(w) or w for w in spell.unknown(["helo", "wrld"]))
    assert sorted(Speller.fix_word("  helo wrld helo ", Tongue.ENGLISH).split()) == expected
    assert Speller.fix_word("zzqxv", Tongue.ENGLISH) == "zzqxv"  # no candidate: kept


def test_unsupported_language():
    with pytest.raises(ValueError) as info:
        Speller.fix_word("helo", Unsupported())
    assert str(info.value) == "Language not supported"
    with pytest.raises(AttributeError):
        Speller.fix_word("helo", None)
