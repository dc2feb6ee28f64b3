from typing import Any

from ..infra import Cleanser as Cleanser
from ..infra import ContentReader as ContentReader
from ..infra import TongueProbe as TongueProbe
from ..infra.EntityTagger import extract_named_entities as extract_named_entities
from ..infra.Tongue import Tongue as Tongue

class File:
    id: Any
    text: str | None
    extracted_text: str | None
    tokens: list[str]
    sentences: list[str]
    cleaned_text: str | None
    text_features: str | None
    base_path: str | None
    path: str | None
    named_entities: list[tuple[str, str]] | None
    summary: tuple[Any, ...]
    detected_language: Tongue | None
    translate_to: Tongue | None
    is_detect_language: bool
    ocr: bool

    def __init__(
        self, base_path: str, is_detect_language: bool = False, translate_to: Tongue | None = None
    ) -> None: ...
    def set_base_path(self, base_path: str) -> None: ...
    def create_features_base(self, path: str) -> None: ...
    def list_NER(self) -> list[tuple[str, str]] | None: ...
    def find_token(self, query_text: str, lng: Tongue = Tongue.PORTUGUESE) -> bool: ...
