from typing import Any

from ..infra import ContentReader as ContentReader
from ..infra.Tongue import Tongue as Tongue
from .File import File as File

class Video(File):
    objects: list[Any]

    def __init__(
        self, base_path: str, is_detect_language: bool = False, translate_to: Tongue | None = None
    ) -> None: ...
    def create_features(self, path: str) -> None: ...
