"""Embedding models the tests build themselves, for the languages whose real
models cannot be had here, and a stand-in for the library's loader.

Everything here pickles (the engines store their models with joblib), so
these classes live in an importable module rather than in a test file.
"""
import os
import zlib

import numpy as np
import torch

MINILM = "sentence-transformers/all-MiniLM-L6-v2"
PORTUGUESE = "neuralmind/bert-large-portuguese-cased"
PORTUGUESE_LEGAL = "stjiris/bert-large-portuguese-cased-legal-mlm-sts-v1.0"
MULTILINGUAL = "sentence-transformers/paraphrase-multilingual-MiniLM-L12-v2"


def _output(vectors, single, convert_to_tensor):
    array = np.asarray(vectors, dtype=np.float32)
    if single:
        array = array[0]
    return torch.from_numpy(array.copy()) if convert_to_tensor else array


class HashingModel:
    """Bag of words hashed into `dim` buckets, unit length: texts sharing
    words score high, texts sharing none score 0."""

    def __init__(self, name="hashing", dim=16):
        self.name = name
        self.dim = dim

    def _vector(self, text):
        v = np.zeros(self.dim, dtype=np.float32)
        for word in text.lower().split():
            v[zlib.crc32(word.encode()) % self.dim] += 1.0
        norm = np.linalg.norm(v)
        return v / norm if norm else v

    def encode(self, text, convert_to_tensor=False):
        single = isinstance(text, str)
        texts = [text] if single else list(text)
        return _output([self._vector(t) for t in texts], single, convert_to_tensor)


class TableModel:
    """Fixed vectors per text; a text it does not know raises, like a model
    failing mid-training."""

    def __init__(self, table):
        self.table = {k: list(map(float, v)) for k, v in table.items()}

    def encode(self, text, convert_to_tensor=False):
        single = isinstance(text, str)
        texts = [text] if single else list(text)
        missing = [t for t in texts if t not in self.table]
        if missing:
            raise RuntimeError("cannot embed " + repr(missing[0]))
        return _output([self.table[t] for t in texts], single, convert_to_tensor)


class RecordingLoader:
    """Stands in for `SentenceTransformer`: records the identifiers asked
    for and hands out `factory(identifier)`."""

    def __init__(self, factory=lambda identifier: HashingModel(identifier)):
        self.factory = factory
        self.identifiers = []

    def __call__(self, identifier):
        self.identifiers.append(identifier)
        return self.factory(identifier)


def refusing_loader(identifier):
    raise AssertionError("the model loader was called for " + identifier)


def build_tiny_sentence_transformer(directory, seed=0):
    """A real, randomly initialised sentence-transformers model (one small
    BERT layer and mean pooling) saved under `directory`; returns its path."""
    from sentence_transformers import SentenceTransformer
    from sentence_transformers.sentence_transformer.modules import Pooling, Transformer
    from transformers import BertConfig, BertModel, BertTokenizerFast

    torch.manual_seed(seed)
    words = ("the a o el la de chuva lluvia rain sol sun cat gato dog cão perro "
             "park parque river rio music música bank banco").split()
    hf = os.path.join(directory, "hf")
    os.makedirs(hf, exist_ok=True)
    vocab = os.path.join(hf, "vocab.txt")
    with open(vocab, "w", encoding="utf-8") as f:
        f.write("\n".join(["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]"] + words) + "\n")
    config = BertConfig(vocab_size=5 + len(words), hidden_size=8, num_hidden_layers=1,
                        num_attention_heads=2, intermediate_size=16,
                        max_position_embeddings=64)
    BertModel(config).save_pretrained(hf)
    BertTokenizerFast(vocab_file=vocab, do_lower_case=True).save_pretrained(hf)
    model = SentenceTransformer(modules=[Transformer(hf, max_seq_length=32), Pooling(8)],
                                device="cpu")
    out = os.path.join(directory, "sentence-model")
    model.save(out)
    return out


def minilm_cached():
    """Whether the Hugging Face cache holds all-MiniLM-L6-v2."""
    from huggingface_hub import try_to_load_from_cache

    found = try_to_load_from_cache(MINILM, "modules.json")
    return isinstance(found, str) and os.path.exists(found)
