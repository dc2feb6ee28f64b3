import logging as logging
import os as os
from typing import Any

import joblib as joblib

class Vectorizer:
    model: Any
    corpus_name: str
    path: str
    model_filename: str

    def __init__(self, path: str, corpus_name: str) -> None: ...
    def encode(self, file: Any) -> None: ...
    def load_model(self) -> None: ...
    def save_model(self, model: Any) -> None: ...
