"""EmbeddingEncoder: which model a language gets, obtaining it once, and the
joblib copy every later encoder reads instead."""
import os

import huggingface_hub.constants
import joblib
import numpy as np
import pytest
import torch
from sentence_transformers import SentenceTransformer

from embedding_models import (MINILM, MULTILINGUAL, PORTUGUESE, PORTUGUESE_LEGAL,
                              HashingModel, RecordingLoader, build_tiny_sentence_transformer,
                              minilm_cached, refusing_loader)
from wrapper.core import EmbeddingEncoder as encoder_module
from wrapper.core.EmbeddingEncoder import EmbeddingEncoder
from wrapper.core.Vectorizer import Vectorizer
from wrapper.infra.Tongue import Tongue

needs_minilm = pytest.mark.skipif(
    not minilm_cached(),
    reason="all-MiniLM-L6-v2 is not in the Hugging Face cache: run scripts/provision_minilm.py")


@pytest.fixture
def loader(monkeypatch):
    recording = RecordingLoader()
    monkeypatch.setattr(encoder_module, "SentenceTransformer", recording)
    return recording


@pytest.fixture
def offline_hub(monkeypatch):
    # The hub cannot be reached here; without this the client retries each
    # file for minutes before it falls back to the cache.
    monkeypatch.setattr(huggingface_hub.constants, "HF_HUB_OFFLINE", True)


@pytest.fixture(scope="module")
def tiny_model_dir(tmp_path_factory):
    return build_tiny_sentence_transformer(str(tmp_path_factory.mktemp("tiny-st")))


@pytest.mark.parametrize("language, legal, identifier", [
    (Tongue.ENGLISH, True, MINILM),
    (Tongue.PORTUGUESE, True, PORTUGUESE_LEGAL),
    (Tongue.PORTUGUESE, None, PORTUGUESE),
    (Tongue.PORTUGUESE, False, PORTUGUESE),
    (Tongue.SPANISH, None, MULTILINGUAL),
    ("en", None, MULTILINGUAL),  # a code string is no member: the last row
])
def test_language_selects_the_model(tmp_path, loader, language, legal, identifier):
    encoder = EmbeddingEncoder(str(tmp_path), language, legal)
    assert loader.identifiers == [identifier]
    assert encoder.corpus_name == identifier
    assert encoder.model_filename == os.path.join(str(tmp_path), identifier)
    assert joblib.load(encoder.model_filename).name == identifier


def test_defaults_and_explicit_identifier(tmp_path, loader):
    encoder = EmbeddingEncoder(str(tmp_path))
    assert isinstance(encoder, Vectorizer)
    assert encoder.corpus_name == MINILM and (tmp_path / "sentence-transformers").is_dir()
    EmbeddingEncoder(str(tmp_path), Tongue.PORTUGUESE, corpus_name="acme/custom")
    EmbeddingEncoder(str(tmp_path), Tongue.PORTUGUESE, corpus_name="")  # empty: table
    assert loader.identifiers == [MINILM, "acme/custom", PORTUGUESE]


def test_second_encoder_reads_the_file_without_the_loader(tmp_path, loader, monkeypatch):
    first = EmbeddingEncoder(str(tmp_path), Tongue.SPANISH)
    monkeypatch.setattr(encoder_module, "SentenceTransformer", refusing_loader)
    second = EmbeddingEncoder(str(tmp_path), Tongue.SPANISH)
    assert isinstance(second.model, HashingModel) and second.model is not first.model
    np.testing.assert_array_equal(second.encode("o gato"), first.encode("o gato"))


def test_unresolvable_identifier_writes_nothing(tmp_path, monkeypatch):
    def unreachable(identifier):
        raise OSError("cannot resolve " + identifier)

    monkeypatch.setattr(encoder_module, "SentenceTransformer", unreachable)
    with pytest.raises(OSError, match="cannot resolve " + PORTUGUESE):
        EmbeddingEncoder(str(tmp_path), Tongue.PORTUGUESE)
    assert os.listdir(tmp_path / "neuralmind") == []


def test_instance_keeps_the_first_encoder(tmp_path, loader, monkeypatch):
    monkeypatch.setattr(EmbeddingEncoder, "_instance", None)
    english = EmbeddingEncoder.instance(str(tmp_path), Tongue.ENGLISH)
    assert EmbeddingEncoder.instance(str(tmp_path / "other"), Tongue.PORTUGUESE) is english
    assert EmbeddingEncoder._instance is english and english.corpus_name == MINILM
    assert loader.identifiers == [MINILM]


def test_real_sentence_transformer_round_trips_through_the_file(tmp_path, tiny_model_dir,
                                                               monkeypatch):
    # A real (tiny) sentence-transformers model stands in for the Portuguese
    # one, which cannot be had here; the code path is the real one.
    loader = RecordingLoader(lambda identifier: SentenceTransformer(tiny_model_dir, device="cpu"))
    monkeypatch.setattr(encoder_module, "SentenceTransformer", loader)
    first = EmbeddingEncoder(str(tmp_path), Tongue.PORTUGUESE)
    monkeypatch.setattr(encoder_module, "SentenceTransformer", refusing_loader)
    second = EmbeddingEncoder(str(tmp_path), Tongue.PORTUGUESE)
    assert type(second.model) is SentenceTransformer

    single = second.encode("o gato no parque")
    assert isinstance(single, np.ndarray) and single.shape == (8,)
    tensor = second.encode("o gato no parque", convert_to_tensor=True)
    assert isinstance(tensor, torch.Tensor) and tensor.shape == (8,)
    batch = second.encode(["o gato", "a chuva"], convert_to_tensor=True)
    assert batch.shape == (2, 8)
    torch.testing.assert_close(tensor, first.encode("o gato no parque", True))


@needs_minilm
def test_minilm_resolves_offline_and_is_cached(tmp_path, offline_hub, monkeypatch):
    encoder = EmbeddingEncoder(str(tmp_path))  # the real loader, the real identifier
    vector = encoder.encode("A cat sleeps on the sofa.")
    assert vector.shape == (384,) and vector.dtype == np.float32
    assert np.isclose(np.linalg.norm(vector), 1.0, atol=1e-5)  # the model normalises

    monkeypatch.setattr(encoder_module, "SentenceTransformer", refusing_loader)
    cached = EmbeddingEncoder(str(tmp_path), Tongue.ENGLISH)
    again = cached.encode("A cat sleeps on the sofa.", convert_to_tensor=True)
    np.testing.assert_allclose(again.numpy(), vector, rtol=0, atol=1e-6)
