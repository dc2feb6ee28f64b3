import logging as logging

from spellchecker import SpellChecker as SpellChecker

from .Tongue import Tongue as Tongue

def fix_word(sentence: str, language: Tongue) -> str: ...
