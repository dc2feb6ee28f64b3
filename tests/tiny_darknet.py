"""Tiny Darknet networks for the object-detection tests.

The real YOLOv3 files cannot be had here, so the tests write small valid
Darknet networks (configuration, weights and labels) into the res/
directory of a temporary folder and point the detector's module file there.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np

LABELS = ("red", "green", "blue")
_BOXES = 3  # anchors per yolo layer
_ROW = 5 + len(LABELS)  # x, y, w, h, objectness, one score per class

_NET = """[net]
batch=1
subdivisions=1
width=416
height=416
channels=3

[maxpool]
size=32
stride=32
"""

_HEAD = """
[convolutional]
batch_normalize=0
filters={filters}
size=1
stride=1
pad=0
activation=linear

[yolo]
mask={mask}
anchors={anchors}
classes={classes}
num={num}
"""

_ROUTE = """
[route]
layers=-3
"""


def _config(heads: int, anchors: str) -> str:
    text = _NET
    for h in range(heads):
        if h:
            text += _ROUTE
        mask = ",".join(str(h * _BOXES + k) for k in range(_BOXES))
        text += _HEAD.format(filters=_BOXES * _ROW, mask=mask, anchors=anchors,
                             classes=len(LABELS), num=heads * _BOXES)
    return text


def _write(folder: Path, config: str, convolutions: list[tuple[np.ndarray, np.ndarray]],
           labels_text: str) -> Path:
    res = folder / "res"
    res.mkdir(parents=True, exist_ok=True)
    (res / "yolov3.cfg").write_text(config)
    with open(res / "yolov3.weights", "wb") as f:
        np.array([0, 2, 0], np.int32).tofile(f)  # format version
        np.zeros(1, np.int64).tofile(f)  # images seen
        for bias, weights in convolutions:
            bias.astype(np.float32).tofile(f)
            weights.astype(np.float32).tofile(f)
    (res / "coco.names").write_text(labels_text)
    return folder / "PictureScanner.so"


def write_colour_network(folder: Path, labels_text: str = "red\ngreen\nblue\n\n") -> Path:
    """One yolo layer that names the dominant colour of the picture.

    Every cell predicts one huge box, so suppression keeps a single box:
    a plain red picture gives one "red" detection, a black one none.
    Returns the path to give the detector's module as its own file.
    """
    bias = np.zeros(_BOXES * _ROW)
    weights = np.zeros((_BOXES * _ROW, 3, 1, 1))
    for a in range(_BOXES):
        base = a * _ROW
        bias[base + 2] = bias[base + 3] = 6.0  # boxes far larger than the picture
        bias[base + 4] = 8.0  # objectness close to 1
        for cls in range(len(LABELS)):  # the network sees RGB (red/blue swapped)
            weights[base + 5 + cls, cls, 0, 0] = 20.0
            bias[base + 5 + cls] = -10.0
    return _write(folder, _config(1, "10,10, 10,10, 10,10"), [(bias, weights)], labels_text)


def write_random_network(folder: Path, seed: int) -> Path:
    """Two yolo layers with random weights: many candidates of all classes,
    boxes of many sizes, some overlapping."""
    rng = np.random.default_rng(seed)
    convolutions = []
    for _ in range(2):
        bias = rng.normal(0.0, 1.0, _BOXES * _ROW)
        weights = rng.normal(0.0, 2.0, (_BOXES * _ROW, 3, 1, 1))
        for a in range(_BOXES):
            bias[a * _ROW + 4] += 3.0  # most cells claim an object
        convolutions.append((bias, weights))
    anchors = "40,50, 90,60, 60,120, 150,150, 200,100, 120,260"
    return _write(folder, _config(2, anchors), convolutions, "\n".join(LABELS))
