import logging as logging
import os as os
from collections.abc import Iterable
from typing import Any, ClassVar

import joblib as joblib
import numpy as np
from sentence_transformers import SentenceTransformer as SentenceTransformer

from ..infra import TongueProbe as TongueProbe
from ..infra.Tongue import Tongue as Tongue
from .EmbeddingEncoder import EmbeddingEncoder as EmbeddingEncoder
from .File import File as File
from .FinderBase import FinderBase as FinderBase

class EmbeddingFinder(FinderBase):
    supported_languages: bool
    model_main: ClassVar[str]
    is_loaded: bool
    base_path: str
    model_filename: str
    debug_model_filename: str
    multilang_models: dict[str, Any]
    embedded_documents: dict[str, list[Any]]
    document_names: dict[str, list[Any]]

    def __init__(self, base_path: str, supported_languages: bool = False) -> None: ...
    def train_model(self, doc: File | None) -> None: ...
    def train_models(self, records: Iterable[File | None]) -> None: ...
    def save_model(self) -> None: ...
    def load_model(self) -> bool: ...
    def search_documents(
        self,
        query: str,
        detected_search_language: str | None = None,
        page: int = 1,
        results_per_page: int = 10,
    ) -> tuple[str, list[dict[str, Any]]]: ...
