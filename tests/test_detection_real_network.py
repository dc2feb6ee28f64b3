"""Object detection with the pretrained network the set-up provisions, on real
photographs and on a video made from them."""

from __future__ import annotations

import types

import cv2
import numpy as np
import pytest

from real_photos import PHOTOS, on_grey_canvas, photo_rgb, use_provisioned_network
from test_picture_scanner import reference_detect
from wrapper.infra import ClipScanner, PictureScanner


@pytest.fixture
def network(monkeypatch, tmp_path):
    return use_provisioned_network(PictureScanner, monkeypatch, tmp_path)


@pytest.fixture(scope="module")
def canvases():
    """photo name -> (BGR canvas, rectangle of the photo on it)."""
    return {name: on_grey_canvas(photo_rgb(name)) for name in PHOTOS}


class SpyDnn:
    """The real dnn module, recording the boxes handed to suppression and
    the indices it kept."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        return getattr(cv2.dnn, name)

    def NMSBoxes(self, boxes, confidences, score_threshold, nms_threshold):
        kept = cv2.dnn.NMSBoxes(boxes, confidences, score_threshold, nms_threshold)
        self.calls.append((boxes, [int(i) for i in kept]))
        return kept


def test_network_has_the_yolo_output_layout(network):
    # Two detection layers (13 x 13 and 26 x 26 cells, three anchors each),
    # one row per candidate: box, objectness, 80 class scores.
    net, names, labels = PictureScanner.get_layers()
    assert len(labels) == 80 and labels[0] == "person" and labels[-1] == "toothbrush"
    net.setInput(cv2.dnn.blobFromImage(np.zeros((416, 416, 3), np.uint8), 0.00392, (416, 416),
                                       (0, 0, 0), True, crop=False))
    rows = sorted(out.shape[0] for out in net.forward(names))
    assert all(out.shape[1] == 85 for out in net.forward(names))
    # 3 anchors per cell on grids of 13, 26 (and 52 for the full network).
    assert rows == [3 * side * side for side in (13, 26, 52)[:len(names)]]


@pytest.mark.parametrize("name", sorted(PHOTOS))
def test_photo_shows_its_object(network, canvases, tmp_path, monkeypatch, name):
    canvas, (left, top, right, bottom) = canvases[name]
    path = str(tmp_path / f"{name}.png")
    cv2.imwrite(path, canvas)
    found = PictureScanner.identify_objects_in_image(path)
    expected = PHOTOS[name][1]
    assert found, f"nothing found in the {name} photo"
    label, confidence = max(found, key=lambda pair: pair[1])
    assert (label, type(confidence)) == (expected, float) and 0.5 < confidence <= 1.0, found

    # The boxes behind the result: inside the picture, and the object's box
    # centred on the photo, not elsewhere on the canvas.
    spy = SpyDnn()
    monkeypatch.setattr(PictureScanner, "cv2", types.SimpleNamespace(imread=cv2.imread, dnn=spy))
    assert PictureScanner.identify_objects_in_image(path) == found
    [(boxes, kept)] = spy.calls
    height, width = canvas.shape[:2]
    assert len(kept) == len(found)
    for i in kept:
        x, y, w, h = boxes[i]
        assert 0 <= x and 0 <= y and x + w <= width and y + h <= height, boxes[i]
    # Kept indices ascend with the result's pairs.
    best = max(zip(sorted(kept), found), key=lambda pair: pair[1][1])[0]
    best = boxes[best]
    cx, cy = best[0] + best[2] / 2, best[1] + best[3] / 2
    assert left <= cx <= right and top <= cy <= bottom, (best, (left, top, right, bottom))


def test_result_matches_the_reference_on_a_real_network(network, canvases, tmp_path):
    # Every candidate above the threshold, across both output layers, goes
    # through the same arithmetic as the reference reading.
    for name, (canvas, _) in canvases.items():
        path = str(tmp_path / f"{name}.png")
        cv2.imwrite(path, canvas)
        net, names, labels = PictureScanner.get_layers()
        expected, boxes = reference_detect(net, names, labels, cv2.imread(path))
        assert expected and PictureScanner.identify_objects_in_image(path) == expected
    original = str(tmp_path / "original.png")
    cv2.imwrite(original, cv2.cvtColor(photo_rgb("motorcycle"), cv2.COLOR_RGB2BGR))
    net, names, labels = PictureScanner.get_layers()
    expected, _ = reference_detect(net, names, labels, cv2.imread(original))
    assert PictureScanner.identify_objects_in_image(original) == expected


def test_video_of_the_photos_gives_their_labels_frame_by_frame(network, canvases, tmp_path):
    order = ["cat", "astronaut", "coffee", "motorcycle"]
    path = str(tmp_path / "clip.mp4")
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"mp4v"), 2, (416, 416))
    assert writer.isOpened()
    for name in order:
        for _ in range(2):
            writer.write(canvases[name][0])
    writer.release()

    result = ClipScanner.identify_objects_in_video(path)
    assert len(result) == 2 * len(order)
    for k, frame in enumerate(result):
        expected = PHOTOS[order[k // 2]][1]
        assert any(label == expected and confidence > 0.5 for label, confidence in frame), (k, frame)

    # Each entry is what the picture rules give for the decoded frame.
    net, names, labels = PictureScanner.get_layers()
    capture = cv2.VideoCapture(path)
    decoded = [capture.read()[1] for _ in range(len(result))]
    capture.release()
    assert result == [reference_detect(net, names, labels, frame)[0] for frame in decoded]
