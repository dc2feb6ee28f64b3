import argparse as argparse
import concurrent.futures as futures
import enum as enum
import json as json
import logging as logging
import multiprocessing as multiprocessing
import os as os
import select as select
import signal as signal
import sys as sys
import tempfile as tempfile
import threading as threading
import time as time
from collections.abc import Sequence
from typing import Any, TypedDict

from tqdm import tqdm as tqdm

from .core.File import File
from .core.PDF import PDF as PDF
from .infra.EngineKind import EngineKind as EngineKind
from .infra.Tongue import Tongue as Tongue
from .Process import Process as Process

class _IndexSummary(TypedDict):
    documents: int
    skipped: int
    indexed: int
    failed: int
    failures: str

def main(argv: Sequence[str] | None = None) -> int: ...
def index_documents(
    base_path: str | os.PathLike[str],
    paths: Sequence[str | os.PathLike[str]] | None = None,
    engine: str | EngineKind = "td",
    is_detect_language: bool = False,
    translate_to: str | Tongue | None = None,
    executor: futures.Executor | None = None,
    workers: int | None = None,
    batch_size: int = 500,
    failures: str | os.PathLike[str] | None = None,
    progress: bool = False,
) -> _IndexSummary: ...
def find_documents(
    base_path: str | os.PathLike[str], paths: Sequence[str | os.PathLike[str]] | None = None
) -> list[str]: ...
def compile_document(
    base_path: str,
    relative_path: str,
    is_detect_language: bool = False,
    translate_to: Tongue | None = None,
) -> File: ...
def init_worker(log_level: int | None = None, trainer_pid: int | None = None) -> None: ...
def watch_trainer(pid: int) -> None: ...
def positive_int(text: str) -> int: ...
def json_value(value: Any) -> Any: ...
