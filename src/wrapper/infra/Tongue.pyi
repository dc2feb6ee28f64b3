from enum import Enum

from lingua import Language

class Tongue(Enum):
    nltk_languages = {"pt": "portuguese", "en": "english", "es": "spanish"}
    ENGLISH = "en"
    SPANISH = "es"
    PORTUGUESE = "pt"

    @staticmethod
    def get_language_from_lingua(language: Language | None) -> Tongue: ...
    @staticmethod
    def get_nltk_language(language: Tongue) -> str: ...
    @staticmethod
    def get_language_from_nltk_language(nltk_language: str) -> Tongue: ...
