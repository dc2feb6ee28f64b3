"""wrapper.infra.PictureScanner: YOLO post-processing rules on crafted
output arrays (through a stand-in `cv2`), and real forward passes through
tiny Darknet networks written by the tests."""

from __future__ import annotations

import threading
import types

import cv2
import numpy as np
import pytest

from wrapper.infra import PictureScanner
from tiny_darknet import write_colour_network, write_random_network

REAL_NMS = cv2.dnn.NMSBoxes


def reference_detect(net, output_layers, labels, picture):
    """The post-processing read straight from its description, in Python."""
    height, width, channels = picture.shape
    blob = cv2.dnn.blobFromImage(picture, 0.00392, (416, 416), (0, 0, 0), True, crop=False)
    net.setInput(blob)
    outs = net.forward(output_layers)
    class_ids, confidences, boxes = [], [], []
    for out in outs:
        for detection in out:
            scores = detection[5:]
            class_id = np.argmax(scores)
            confidence = scores[class_id]
            if confidence > 0.5:
                center_x = int(detection[0] * width)
                center_y = int(detection[1] * height)
                w = int(detection[2] * width)
                h = int(detection[3] * height)
                x = int(center_x - w / 2)
                y = int(center_y - h / 2)
                boxes.append([x, y, w, h])
                confidences.append(float(confidence))
                class_ids.append(class_id)
    indexes = cv2.dnn.NMSBoxes(boxes, confidences, 0.5, 0.4)
    found = [(str(labels[class_ids[i]]), confidences[i]) for i in range(len(boxes)) if i in indexes]
    return found, boxes


class FakeNet:
    def __init__(self, outs):
        self.outs = outs
        self.forwarded = []

    def getLayerNames(self):
        return ("conv_0", "yolo_1", "conv_2", "yolo_3")

    def getUnconnectedOutLayers(self):
        return np.array([2, 4], dtype=np.int32)

    def setInput(self, blob):
        self.blob = blob

    def forward(self, names):
        self.forwarded.append(names)
        return self.outs


def fake_cv2(outs, shape=(100, 200, 3)):
    """A `cv2` whose network answers `outs`; suppression is the real one."""
    calls = {"blob": [], "nms": []}
    net = FakeNet(outs)

    def blob_from_image(*args, **kwargs):
        calls["blob"].append((args, kwargs))
        return "blob"

    def nms_boxes(boxes, confidences, score_threshold, nms_threshold):
        calls["nms"].append((boxes, confidences, score_threshold, nms_threshold))
        return REAL_NMS(boxes, confidences, score_threshold, nms_threshold)

    module = types.SimpleNamespace(
        imread=lambda path: np.zeros(shape, np.uint8),
        dnn=types.SimpleNamespace(readNet=lambda weights, config: net,
                                  blobFromImage=blob_from_image, NMSBoxes=nms_boxes),
    )
    return module, net, calls


@pytest.fixture
def res_dir(tmp_path, monkeypatch):
    """The module looks for res/ beside its own file: make that tmp_path."""
    monkeypatch.setattr(PictureScanner, "__file__", str(tmp_path / "PictureScanner.so"))
    return tmp_path


@pytest.fixture
def crafted(res_dir, monkeypatch):
    """Installs a stand-in cv2 answering the given arrays; labels a..e."""
    res = res_dir / "res"
    res.mkdir()
    for name in ("yolov3.weights", "yolov3.cfg"):
        (res / name).write_bytes(b"")
    (res / "coco.names").write_text("a\nb\nc\nd\ne\n")

    def install(*outs, shape=(100, 200, 3)):
        module, net, calls = fake_cv2(list(outs), shape)
        monkeypatch.setattr(PictureScanner, "cv2", module)
        return net, calls

    return install


def row(x, y, w, h, *scores, objectness=0.0):
    return [x, y, w, h, objectness, *scores]


def f32(*rows):
    return np.array(rows, dtype=np.float32)


def test_threshold_is_strict_and_objectness_is_ignored(crafted):
    just_above = float(np.nextafter(np.float32(0.5), np.float32(1)))
    _, calls = crafted(f32(row(0.1, 0.1, 0.1, 0.1, 0.5, 0.2, objectness=1.0),
                           row(0.8, 0.8, 0.1, 0.1, 0.1, just_above, objectness=0.0)))
    assert PictureScanner.identify_objects_in_image("p.jpg") == [("b", just_above)]
    boxes, confidences, score_threshold, overlap = calls["nms"][0]
    assert len(boxes) == 1 and confidences == [just_above]
    assert (score_threshold, overlap) == (0.5, 0.4)


def test_box_edges_truncate_toward_zero(crafted):
    # Picture 10 x 100: centre int(0.015 * 100) = 1, width 9, so the left
    # edge is int(1 - 4.5) = int(-3.5) = -3; the top edge int(5 - 1.5) = 3.
    _, calls = crafted(f32(row(0.015, 0.5, 0.09, 0.3, 0.9)), shape=(10, 100, 3))
    found = PictureScanner.identify_objects_in_image("p.jpg")
    assert calls["nms"][0][0] == [[-3, 3, 9, 3]]
    assert found == [("a", pytest.approx(0.9))]
    assert all(type(v) is int for v in calls["nms"][0][0][0])
    assert type(found[0][1]) is float


def test_result_follows_candidate_order_across_output_layers(crafted):
    first = f32(row(0.1, 0.1, 0.1, 0.1, 0.0, 0.0, 0.6),  # c, weakest, first
                row(0.5, 0.5, 0.1, 0.1, 0.2, 0.3, 0.1))  # below the threshold
    second = f32(row(0.5, 0.5, 0.1, 0.1, 0.0, 0.95),
                 row(0.9, 0.9, 0.1, 0.1, 0.8, 0.0))
    net, calls = crafted(first, second)
    found = PictureScanner.identify_objects_in_image("p.jpg")
    assert [label for label, _ in found] == ["c", "b", "a"]
    assert net.forwarded == [["yolo_1", "yolo_3"]]
    args, kwargs = calls["blob"][0]
    assert args[1:] == (0.00392, (416, 416), (0, 0, 0), True) and kwargs == {"crop": False}


def test_suppression_ignores_the_class(crafted):
    # Two nearly identical boxes of different classes: only the stronger stays.
    crafted(f32(row(0.5, 0.5, 0.4, 0.4, 0.7, 0.0, 0.0, 0.0),
                row(0.52, 0.5, 0.4, 0.4, 0.0, 0.9, 0.0, 0.0),
                row(0.1, 0.1, 0.05, 0.05, 0.0, 0.0, 0.0, 0.8)))
    found = PictureScanner.identify_objects_in_image("p.jpg")
    assert [label for label, _ in found] == ["b", "d"]


def test_prints_the_picture_shape_once(crafted, capsys):
    crafted(f32(row(0.5, 0.5, 0.1, 0.1, 0.1)), shape=(48, 64, 3))
    assert PictureScanner.identify_objects_in_image("p.jpg") == []
    assert capsys.readouterr().out == "(48, 64, 3)\n"


def test_matches_reference_on_random_outputs(crafted):
    rng = np.random.default_rng(5)
    for trial in range(40):
        outs = []
        for _ in range(1 + trial % 3):
            rows = rng.integers(0, 60)
            out = rng.random((rows, 8), dtype=np.float32)
            out[:, :4] = rng.uniform(-0.3, 1.3, (rows, 4)).astype(np.float32)
            out[rng.random(rows) < 0.1, 5] = 0.5  # boundary scores
            outs.append(out if trial % 2 else out.astype(np.float64))
        shape = (int(rng.integers(1, 2000)), int(rng.integers(1, 2000)), 3)
        net, calls = crafted(*outs, shape=shape)
        found = PictureScanner.identify_objects_in_image("p.jpg")
        expected, boxes = reference_detect(net, ["yolo_1", "yolo_3"], "abcde",
                                           np.zeros(shape, np.uint8))
        assert calls["nms"][0][0] == boxes
        assert found == expected


def test_non_contiguous_outputs_keep_their_precision(crafted):
    wide = np.zeros((3, 16), dtype=np.float32)
    wide[:, ::2] = [[0.3333333, 0.5, 0.1, 0.1, 0, 0.9, 0, 0]] * 3
    crafted(wide[:, ::2], shape=(10, 641, 3))
    expected, boxes = reference_detect(FakeNet([wide[:, ::2]]), [], "abcde",
                                       np.zeros((10, 641, 3), np.uint8))
    assert PictureScanner.identify_objects_in_image("p.jpg") == expected


def test_malformed_outputs_raise_like_numpy(crafted):
    crafted(f32(row(0.5, 0.5, 0.1, 0.1)[:5]))
    with pytest.raises(ValueError, match="argmax of an empty sequence"):
        PictureScanner.identify_objects_in_image("p.jpg")
    crafted(f32(row(np.nan, 0.5, 0.1, 0.1, 0.9)))
    with pytest.raises(ValueError, match="NaN"):
        PictureScanner.identify_objects_in_image("p.jpg")
    crafted(np.zeros((2, 3, 8), np.float32))
    with pytest.raises(ValueError, match="2-D"):
        PictureScanner.identify_objects_in_image("p.jpg")


def test_missing_or_unreadable_picture_is_named(res_dir):
    # Checked before the network is looked for (there is none here).
    missing = str(res_dir / "missing.jpg")
    with pytest.raises(FileNotFoundError) as info:
        PictureScanner.identify_objects_in_image(missing)
    assert info.value.filename == missing
    (res_dir / "notes.png").write_bytes(b"plain text, not a picture\n" * 4)
    (res_dir / "folder.png").mkdir()
    for name in ["notes.png", "folder.png"]:
        path = str(res_dir / name)
        with pytest.raises(ValueError, match="^Cannot read the picture " + path):
            PictureScanner.identify_objects_in_image(path)


def test_get_layers_reads_labels_and_output_names(crafted):
    net, _ = crafted()
    got_net, names, labels = PictureScanner.get_layers()
    assert got_net is net and names == ["yolo_1", "yolo_3"]
    assert labels == ["a", "b", "c", "d", "e"]  # trailing blank line dropped


def test_labels_file_is_closed_and_a_read_error_is_the_one_reported(crafted, monkeypatch):
    crafted()
    files = []

    class LabelsFile:
        def __init__(self, read_error, close_error):
            self.read_error, self.close_error, self.closed = read_error, close_error, 0
            files.append(self)

        def read(self):
            if self.read_error:
                raise self.read_error
            return "a\nb\n"

        def close(self):
            self.closed += 1
            if self.close_error:
                raise self.close_error

    for read_error, close_error, expected in [
            (UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad"), OSError("EIO"), UnicodeDecodeError),
            (None, OSError("EIO"), OSError), (None, None, None)]:
        monkeypatch.setattr(PictureScanner, "open",
                            lambda path: LabelsFile(read_error, close_error), raising=False)
        if expected is None:
            assert PictureScanner.get_layers()[2] == ["a", "b"]
        else:
            with pytest.raises(expected) as error:
                PictureScanner.get_layers()
            assert error.value is (read_error or close_error)
        assert files[-1].closed == 1


def test_missing_model_files_raise_a_clear_error(res_dir):
    with pytest.raises(FileNotFoundError, match="not shipped") as info:
        PictureScanner.get_layers()
    assert info.value.filename == str(res_dir / "res" / "yolov3.weights")
    write_colour_network(res_dir)
    (res_dir / "res" / "coco.names").unlink()
    cv2.imwrite(str(res_dir / "p.png"), np.zeros((8, 8, 3), np.uint8))
    with pytest.raises(FileNotFoundError, match="not shipped") as info:
        PictureScanner.identify_objects_in_image(str(res_dir / "p.png"))
    assert info.value.filename == str(res_dir / "res" / "coco.names")


def test_default_files_are_looked_up_beside_the_module(monkeypatch):
    # Whether or not the set-up put a network there, the loader is asked
    # for the files in res/ beside the module.
    asked = []

    def read_net(weights, config):
        asked.append((weights, config))
        raise RuntimeError("stop here")

    monkeypatch.setattr(PictureScanner, "cv2", types.SimpleNamespace(
        dnn=types.SimpleNamespace(readNet=read_net)))
    with pytest.raises((RuntimeError, FileNotFoundError)):
        PictureScanner.get_layers()
    module_dir = PictureScanner.__file__.rsplit("/", 1)[0]
    assert asked == [(module_dir + "/res/yolov3.weights", module_dir + "/res/yolov3.cfg")]


# ---- real forward passes -------------------------------------------------

def colour_picture(path, bgr, shape=(60, 80)):
    picture = np.zeros((*shape, 3), np.uint8)
    picture[:] = bgr
    cv2.imwrite(str(path), picture)
    return str(path)


def test_real_network_names_the_colour(res_dir, capsys):
    write_colour_network(res_dir)
    red = colour_picture(res_dir / "red.png", (0, 0, 255))
    blue = colour_picture(res_dir / "blue.png", (255, 0, 0), shape=(30, 50))
    black = colour_picture(res_dir / "black.png", (0, 0, 0))
    [(label, confidence)] = PictureScanner.identify_objects_in_image(red)
    assert label == "red" and 0.5 < confidence <= 1.0
    assert [l for l, _ in PictureScanner.identify_objects_in_image(blue)] == ["blue"]
    assert PictureScanner.identify_objects_in_image(black) == []
    assert capsys.readouterr().out == "(60, 80, 3)\n(30, 50, 3)\n(60, 80, 3)\n"


def test_truncated_weights_are_refused(res_dir):
    # The network loader would take the short file and read whatever lies
    # past its end as weights.
    write_colour_network(res_dir)
    red = colour_picture(res_dir / "red.png", (0, 0, 255))
    weights = res_dir / "res" / "yolov3.weights"
    whole = weights.read_bytes()
    weights.write_bytes(whole[:-4])
    with pytest.raises(ValueError, match=r"weights file .* is truncated: it holds %d bytes"
                       % (len(whole) - 4)):
        PictureScanner.identify_objects_in_image(red)
    weights.write_bytes(whole + b"\0" * 8)  # longer than needed is accepted
    assert [label for label, _ in PictureScanner.identify_objects_in_image(red)] == ["red"]


def test_real_network_matches_reference_over_two_output_layers(res_dir):
    write_random_network(res_dir, seed=3)
    rng = np.random.default_rng(0)
    blocks = (rng.random((3, 4, 3)) * 255).astype(np.uint8)
    picture = cv2.resize(blocks, (120, 90), interpolation=cv2.INTER_NEAREST)
    path = str(res_dir / "blocks.png")
    cv2.imwrite(path, picture)
    net, names, labels = PictureScanner.get_layers()
    assert len(names) == 2
    expected, boxes = reference_detect(net, names, labels, cv2.imread(path))
    assert len(expected) > 10 and len(boxes) > len(expected)
    assert PictureScanner.identify_objects_in_image(path) == expected


def test_kept_network_is_reloaded_when_a_file_changes(res_dir):
    write_colour_network(res_dir)
    red = colour_picture(res_dir / "red.png", (0, 0, 255))
    first = PictureScanner.identify_objects_in_image(red)
    assert PictureScanner.identify_objects_in_image(red) == first
    (res_dir / "res" / "coco.names").write_text("rouge\nvert\nbleu\n")
    assert [l for l, _ in PictureScanner.identify_objects_in_image(red)] == ["rouge"]
    write_random_network(res_dir, seed=3)  # new weights and configuration
    net, names, labels = PictureScanner.get_layers()
    expected, _ = reference_detect(net, names, labels, cv2.imread(red))
    assert PictureScanner.identify_objects_in_image(red) == expected


def test_kept_network_is_bypassed_when_cv2_is_replaced(res_dir, monkeypatch):
    write_colour_network(res_dir)
    red = colour_picture(res_dir / "red.png", (0, 0, 255))
    assert [l for l, _ in PictureScanner.identify_objects_in_image(red)] == ["red"]
    module, _, _ = fake_cv2([f32(row(0.5, 0.5, 0.1, 0.1, 0.0, 0.0, 0.9))])
    monkeypatch.setattr(PictureScanner, "cv2", module)
    assert [l for l, _ in PictureScanner.identify_objects_in_image(red)] == ["blue"]


def test_concurrent_calls_agree_with_sequential_ones(res_dir):
    write_colour_network(res_dir)
    pictures = [colour_picture(res_dir / f"{name}.png", bgr) for name, bgr in
                [("red", (0, 0, 255)), ("green", (0, 255, 0)), ("blue", (255, 0, 0)),
                 ("black", (0, 0, 0))]]
    expected = [PictureScanner.identify_objects_in_image(p) for p in pictures]
    assert [[l for l, _ in e] for e in expected] == [["red"], ["green"], ["blue"], []]
    results = {}

    def work(k):
        results[k] = [PictureScanner.identify_objects_in_image(p) for p in pictures]

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(results[k] == expected for k in range(4))
