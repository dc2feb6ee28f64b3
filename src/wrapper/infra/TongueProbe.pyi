import logging as logging
import time as time
import traceback as traceback
from typing import Any

from googletrans import Translator as Translator
from lingua import Language as Language
from lingua import LanguageDetectorBuilder as LanguageDetectorBuilder

from . import Cleanser as Cleanser
from .Speller import fix_word as fix_word
from .Tongue import Tongue as Tongue

def detect_lang(
    text: str,
    translate_to: Tongue | None = None,
    original_language: Tongue | None = None,
    fix_text: Any = None,
) -> tuple[Tongue, str, list[str]]: ...
def detect_lang_by_google_translate(
    text: str, translate_to: str | None = None
) -> tuple[str, str]: ...
