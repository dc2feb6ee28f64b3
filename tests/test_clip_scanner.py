"""wrapper.infra.ClipScanner: detection over every frame of a video, through
a tiny Darknet network and a real video file, and through a stand-in
capture for the frame-count rules."""

from __future__ import annotations

import types

import cv2
import numpy as np
import pytest

from wrapper.infra import ClipScanner, PictureScanner
from tiny_darknet import write_colour_network

RED, GREEN, BLUE, BLACK = (0, 0, 255), (0, 255, 0), (255, 0, 0), (0, 0, 0)


@pytest.fixture
def res_dir(tmp_path, monkeypatch):
    # ClipScanner loads through PictureScanner.get_layers, which looks for
    # res/ beside PictureScanner's own file.
    monkeypatch.setattr(PictureScanner, "__file__", str(tmp_path / "PictureScanner.so"))
    return tmp_path


def write_video(path, colours, size=(80, 60)):
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 5, size)
    assert writer.isOpened()
    for bgr in colours:
        frame = np.zeros((size[1], size[0], 3), np.uint8)
        frame[:] = bgr
        writer.write(frame)
    writer.release()
    return str(path)


def labels_per_frame(result):
    return [[label for label, _ in frame] for frame in result]


def test_one_entry_per_frame_in_order(res_dir, capsys):
    write_colour_network(res_dir)
    video = write_video(res_dir / "clip.avi", [RED, BLUE, BLACK, GREEN, RED])
    result = ClipScanner.identify_objects_in_video(video)
    assert labels_per_frame(result) == [["red"], ["blue"], [], ["green"], ["red"]]
    assert all(0.5 < conf <= 1.0 and type(conf) is float for frame in result for _, conf in frame)
    assert capsys.readouterr().out == ""  # unlike the picture detector, nothing printed


def test_missing_video_gives_empty_list_after_loading_the_network(res_dir):
    with pytest.raises(FileNotFoundError, match="not shipped"):
        ClipScanner.identify_objects_in_video(str(res_dir / "none.mp4"))
    write_colour_network(res_dir)
    assert ClipScanner.identify_objects_in_video(str(res_dir / "none.mp4")) == []


class FakeCapture:
    def __init__(self, reported, frames):
        self.reported, self.frames, self.reads, self.released = reported, frames, 0, 0

    def get(self, prop):
        assert prop == cv2.CAP_PROP_FRAME_COUNT
        return self.reported

    def read(self):
        self.reads += 1
        if self.reads > len(self.frames):
            return False, None
        return True, self.frames[self.reads - 1]

    def release(self):
        self.released += 1


@pytest.fixture
def stand_in(monkeypatch):
    """A capture with the given reported count and frames; the network says
    "hit" for every frame whose first pixel is non-zero."""
    outs_for = {}

    class Net:
        def setInput(self, blob):
            self.blob = blob

        def forward(self, names):
            return [outs_for[id(self.blob)]]

    def blob_from_image(frame, *args, **kwargs):
        score = 0.9 if frame[0, 0, 0] else 0.1
        blob = np.zeros(1)
        outs_for[id(blob)] = np.array([[0.5, 0.5, 0.2, 0.2, 0.0, score]], np.float32)
        return blob

    def install(reported, frames):
        capture = FakeCapture(reported, frames)
        module = types.SimpleNamespace(
            VideoCapture=lambda path: capture, CAP_PROP_FRAME_COUNT=cv2.CAP_PROP_FRAME_COUNT,
            dnn=types.SimpleNamespace(blobFromImage=blob_from_image, NMSBoxes=cv2.dnn.NMSBoxes))
        monkeypatch.setattr(ClipScanner, "cv2", module)
        monkeypatch.setattr(ClipScanner, "get_layers", lambda: (Net(), ["out"], ["hit"]))
        return capture

    return install


def frames(*firsts):
    out = []
    for v in firsts:
        f = np.zeros((4, 6, 3), np.uint8)
        f[0, 0, 0] = v
        out.append(f)
    return out


def test_reported_count_larger_than_the_video_stops_at_first_failed_read(stand_in):
    capture = stand_in(7.0, frames(1, 0, 1))
    assert labels_per_frame(ClipScanner.identify_objects_in_video("v.mp4")) == [
        ["hit"], [], ["hit"]]
    assert capture.reads == 4 and capture.released == 1


def test_reported_count_smaller_than_the_video_limits_the_frames(stand_in):
    capture = stand_in(2.9, frames(1, 1, 1, 1))  # int(2.9) == 2
    assert len(ClipScanner.identify_objects_in_video("v.mp4")) == 2
    assert capture.reads == 2 and capture.released == 1


def test_capture_is_released_when_a_frame_fails(stand_in):
    capture = stand_in(3, [np.zeros((4, 6), np.uint8)])  # a frame without channels
    with pytest.raises(ValueError, match="not enough values to unpack"):
        ClipScanner.identify_objects_in_video("v.mp4")
    assert capture.released == 1


def test_an_error_of_release_never_hides_the_error_of_a_frame(stand_in):
    capture = stand_in(3, [np.zeros((4, 6), np.uint8)])

    def failing_release():
        capture.released += 1
        raise OSError("device gone")

    capture.release = failing_release
    with pytest.raises(ValueError, match="not enough values to unpack") as error:
        ClipScanner.identify_objects_in_video("v.mp4")
    assert capture.released == 1 and error.value.__context__ is None
    # With nothing else wrong, the caller hears of the failed release.
    capture.frames, capture.reads = frames(1), 0
    with pytest.raises(OSError, match="device gone"):
        ClipScanner.identify_objects_in_video("v.mp4")
    assert capture.released == 2
