"""Vectorizer: where a model file lives, and loading and saving it whole."""
import logging
import os

import joblib
import pytest

from failing_joblib import DiskFull
from wrapper.core import Vectorizer as vectorizer_module
from wrapper.core.Vectorizer import Vectorizer


def test_nested_and_absolute_names_place_the_file(tmp_path):
    v = Vectorizer(str(tmp_path), "org/model-x")
    assert v.model_filename == os.path.join(str(tmp_path), "org/model-x")
    assert (tmp_path / "org").is_dir()
    assert (v.path, v.corpus_name) == (str(tmp_path), "org/model-x")
    Vectorizer(str(tmp_path), "org/model-x")  # the directory already exists: fine

    elsewhere = tmp_path / "elsewhere" / "deep"
    v = Vectorizer(str(tmp_path / "ignored"), str(elsewhere / "m"))
    assert v.model_filename == str(elsewhere / "m")
    assert elsewhere.is_dir() and not (tmp_path / "ignored").exists()


def test_missing_file_leaves_the_class_default(tmp_path, caplog):
    v = Vectorizer(str(tmp_path), "org/none")
    with caplog.at_level(logging.DEBUG):
        assert v.load_model() is None
    assert v.model is None and "model" not in vars(v)
    assert [r.getMessage() for r in caplog.records] == ["loading model " + v.model_filename]


def test_saved_model_is_read_back_by_a_new_object(tmp_path, caplog):
    model = {"weights": [1.5, 2.5], "name": "ç"}
    with caplog.at_level(logging.DEBUG):
        Vectorizer(str(tmp_path), "org/m").save_model(model)
        fresh = Vectorizer(str(tmp_path), "org/m")
        fresh.load_model()
    assert fresh.model == model and fresh.model is not model
    path = os.path.join(str(tmp_path), "org/m")
    assert [r.getMessage() for r in caplog.records] == [
        "saving model " + path, "loading model " + path, "loaded model " + path]
    assert all(r.levelno == logging.DEBUG and r.name == "root" for r in caplog.records)
    assert joblib.load(path) == model  # a plain joblib file
    assert os.listdir(tmp_path / "org") == ["m"]  # no temporary file left


def test_failed_write_keeps_the_previous_file(tmp_path, monkeypatch):
    v = Vectorizer(str(tmp_path), "org/m")
    v.save_model("first")

    monkeypatch.setattr(vectorizer_module, "joblib", DiskFull)
    with pytest.raises(OSError, match="No space left"):
        v.save_model("second")
    assert v.model == "second"  # memory is replaced before the write
    assert joblib.load(v.model_filename) == "first"
    assert os.listdir(tmp_path / "org") == ["m"]


def test_corrupt_file_raises_and_keeps_the_model(tmp_path):
    v = Vectorizer(str(tmp_path), "m")
    v.save_model([1])
    with open(v.model_filename, "wb") as f:
        f.write(b"not a pickle")
    with pytest.raises(ValueError, match="Cannot read the model file .*m: ") as info:
        v.load_model()
    assert info.value.__cause__ is not None  # chained to the unpickling error
    assert v.model == [1]

