import difflib as difflib
import logging as logging
import os as os
import re as re
from collections.abc import Iterable, Sequence
from typing import Any

import joblib as joblib
import numpy as np
from scipy import sparse as sparse
from sklearn.feature_extraction.text import TfidfVectorizer as TfidfVectorizer
from sklearn.metrics.pairwise import cosine_similarity as cosine_similarity

from ..infra import Cleanser as Cleanser
from ..infra import TongueProbe as TongueProbe
from ..infra.Tongue import Tongue as Tongue
from .File import File as File
from .FinderBase import FinderBase as FinderBase

class TfidfFinder(FinderBase):
    is_loaded: bool
    model_filename: str
    debug_model_filename: str
    tfidf_vectorizer: TfidfVectorizer | None
    tfidf_matrix: Any
    document_names: list[Any]
    detected_languages: dict[Any, Tongue | None]
    cleaned_text: dict[Any, str]

    def __init__(self, basepath: str) -> None: ...
    def load_model(self) -> bool: ...
    def train_model(self, doc: File) -> None: ...
    def train_models(self, records: Iterable[File | None]) -> None: ...
    def search_documents(
        self,
        search_query: str,
        detected_search_language: Tongue | str | None = None,
        page: int = 1,
        results_per_page: int = 10,
        cutoff_for_fix_query: float = 0.9,
    ) -> list[Any] | tuple[str, list[dict[str, Any]]]: ...
    def correct_query(self, query: str, corpus: Sequence[str], cutoff: float = 0.6) -> str: ...
