import logging as logging
import os as os
from typing import Any

import nltk as nltk

from .core.EmbeddingFinder import EmbeddingFinder as EmbeddingFinder
from .core.File import File as File
from .core.Image import Image as Image
from .core.PDF import PDF as PDF
from .core.TfidfFinder import TfidfFinder as TfidfFinder
from .core.Video import Video as Video
from .infra import TongueProbe as TongueProbe
from .infra.EngineKind import EngineKind as EngineKind
from .infra.Tongue import Tongue as Tongue

class Process:
    base_path: str
    is_detect_language: bool
    translate_to: Tongue | None
    modeldir: str
    document_search: EmbeddingFinder | TfidfFinder | None

    def __init__(
        self,
        base_path: str,
        is_detect_language: bool = False,
        translate_to: Tongue | None = None,
        type: EngineKind | None = None,
    ) -> None: ...
    @staticmethod
    def create_online_pipeline_multilingual(
        base_path: str, is_detect_language: bool = True, translate_to: Tongue | None = Tongue.ENGLISH
    ) -> Process: ...
    @staticmethod
    def create_batch_pipeline(
        base_path: str, is_detect_language: bool = False, translate_to: Tongue | None = None
    ) -> Process: ...
    @staticmethod
    def compile(
        base_path: str,
        complement_path: str,
        is_detect_language: bool = False,
        translate_to: Tongue | None = None,
    ) -> File: ...
    def compile_doc(self, complement_path: str, file_index: Any) -> File: ...
    def train_doc(self, file: File) -> File: ...
    def compile_and_train(self, complement_path: str, file_index: Any) -> File: ...
    def search(
        self,
        query: str,
        detected_language: Tongue | None = None,
        page: int = 1,
        results_per_page: int = 10,
    ) -> list[Any] | tuple[str, list[dict[str, Any]]]: ...
    @staticmethod
    def load(download_dir: str | None = None) -> None: ...
