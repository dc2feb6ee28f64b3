from typing import Any, ClassVar

from sentence_transformers import SentenceTransformer as SentenceTransformer

from ..infra.Tongue import Tongue as Tongue
from .File import File as File
from .Vectorizer import Vectorizer as Vectorizer

class EmbeddingEncoder(Vectorizer):
    _instance: ClassVar[EmbeddingEncoder | None]

    def __init__(
        self,
        path: str,
        vect_lang: Tongue | Any = ...,
        legal_domain: Any = None,
        corpus_name: str | None = None,
    ) -> None: ...
    @classmethod
    def instance(
        cls,
        path: str,
        vect_lang: Tongue | Any = ...,
        legal_domain: Any = None,
        corpus_name: str | None = None,
    ) -> EmbeddingEncoder: ...
    def encode(self, text: str | list[str], convert_to_tensor: bool = False) -> Any: ...
