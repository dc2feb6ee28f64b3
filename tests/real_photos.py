"""Real photographs for the object-detection tests, from scikit-image's data
folder (a registry package; nothing here is drawn by the tests), and the
pretrained network the set-up provisions.

The provisioned network (YOLOv3-tiny) sees its 416 x 416 input; a close-up
stretched to that size fills it edge to edge and is missed, so each photo is
shrunk onto a grey square canvas, as a wider shot would show it.
"""

from __future__ import annotations

import os
from pathlib import Path

import cv2
import numpy as np
import pytest

# photo name -> (how scikit-image gives it, the COCO label it shows)
PHOTOS = {
    "cat": ("chelsea", "cat"),
    "astronaut": ("astronaut", "person"),
    "coffee": ("coffee", "cup"),
    "motorcycle": ("stereo_motorcycle", "motorbike"),
}
NETWORK_FILES = ("yolov3.weights", "yolov3.cfg", "coco.names")
# Where scripts/provision_detector.py keeps the verified files.
CACHE_NAMES = {"yolov3.weights": "yolov3-tiny.weights", "yolov3.cfg": "yolov3-tiny.cfg",
               "coco.names": "coco.names"}


def photo_rgb(name: str) -> np.ndarray:
    data = pytest.importorskip(
        "skimage.data", reason="scikit-image (a test dependency in requirements.txt) is not installed")
    picture = getattr(data, PHOTOS[name][0])()
    return picture[0] if isinstance(picture, tuple) else picture  # the stereo pair's left view


def on_grey_canvas(rgb: np.ndarray, side: int = 416, fraction: float = 0.5):
    """The photo in BGR, shrunk so its longer edge is `fraction` of a grey
    square, centred. Returns (canvas, (left, top, right, bottom) of the photo)."""
    bgr = cv2.cvtColor(rgb, cv2.COLOR_RGB2BGR)
    height, width = bgr.shape[:2]
    scale = side * fraction / max(height, width)
    small = cv2.resize(bgr, (round(width * scale), round(height * scale)),
                       interpolation=cv2.INTER_AREA)
    canvas = np.full((side, side, 3), 128, np.uint8)
    top, left = (side - small.shape[0]) // 2, (side - small.shape[1]) // 2
    canvas[top:top + small.shape[0], left:left + small.shape[1]] = small
    return canvas, (left, top, left + small.shape[1], top + small.shape[0])


def provisioned_cache() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "wrapper" / "detector"


def use_provisioned_network(picture_scanner, monkeypatch, tmp_path) -> Path:
    """The res/ directory the detector will load from: its own when the set-up
    filled it, else a temporary one linking the provisioned cache (developer
    builds live outside the installed package). Skips when neither exists."""
    own = Path(os.path.dirname(os.path.abspath(picture_scanner.__file__))) / "res"
    if all((own / name).is_file() for name in NETWORK_FILES):
        return own
    cache = provisioned_cache()
    if not all((cache / CACHE_NAMES[name]).is_file() for name in NETWORK_FILES):
        pytest.skip(f"no provisioned detector network in {own} or {cache}: "
                    "run scripts/setup.sh (or python scripts/provision_detector.py)")
    res = tmp_path / "net" / "res"
    res.mkdir(parents=True)
    for name in NETWORK_FILES:
        (res / name).symlink_to(cache / CACHE_NAMES[name])
    monkeypatch.setattr(picture_scanner, "__file__", str(res.parent / "PictureScanner.so"))
    return res
