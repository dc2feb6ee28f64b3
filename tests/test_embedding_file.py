"""The embedding engine writes its model file natively, byte for byte what
joblib.dump of the same objects writes, also when the models' part of the
file is written from the bytes kept since an earlier training."""
import collections
import io
import sys
import types

import joblib
import pytest
import torch
from joblib import numpy_pickle
from sentence_transformers import SentenceTransformer

from embedding_models import RecordingLoader, build_tiny_sentence_transformer
from wrapper.core import EmbeddingEncoder as encoder_module
from wrapper.core.EmbeddingFinder import EmbeddingFinder
from wrapper.core.File import File
from wrapper.infra.Tongue import Tongue


def record(doc_id, text, language=Tongue.ENGLISH):
    doc = File.__new__(File)
    doc.id, doc.text, doc.detected_language, doc.translate_to = doc_id, text, language, None
    return doc


def joblib_bytes(value):
    buffer = io.BytesIO()
    joblib.dump(value, buffer)
    return buffer.getvalue()


class TensorModel:
    """A fast stand-in encoder returning torch tensors, as the real one does."""

    def __init__(self, dim=8):
        self.dim = dim

    def encode(self, text, convert_to_tensor=False):
        g = torch.Generator().manual_seed(sum(map(ord, text)))
        return torch.randn(1, self.dim, generator=g)[0]


def embedding_dict(engine):
    return {"multilang_models": engine.multilang_models,
            "embedded_documents": engine.embedded_documents,
            "document_names": engine.document_names}


def assert_file_is_joblibs(engine):
    with open(engine.model_filename, "rb") as f:
        assert f.read() == joblib_bytes(embedding_dict(engine))


@pytest.fixture(scope="module")
def tiny_model_path(tmp_path_factory):
    return build_tiny_sentence_transformer(str(tmp_path_factory.mktemp("tiny")))


def test_embedding_file_is_joblibs_as_models_stay_and_change(tmp_path, monkeypatch,
                                                               tiny_model_path):
    monkeypatch.setattr(encoder_module, "SentenceTransformer",
                        RecordingLoader(lambda i: SentenceTransformer(tiny_model_path)))
    engine = EmbeddingFinder(str(tmp_path), True)
    assert_file_is_joblibs(engine)
    texts = ["the rain in the park", "o gato e o cão", "music bank", "el perro"]
    for k, text in enumerate(texts * 2):
        language = [Tongue.ENGLISH, Tongue.PORTUGUESE, Tongue.SPANISH][k % 3]
        engine.train_model(record(f"doc{k}", text, language))
        assert_file_is_joblibs(engine)
    # A model changed in place, an attribute replaced, a model swapped: the
    # file follows each change.
    with torch.no_grad():
        next(engine.multilang_models["en"].parameters()).add_(1.0)
    engine.train_model(record("changed", "sun"))
    assert_file_is_joblibs(engine)
    engine.multilang_models["en"].note = "retuned"
    engine.train_model(record("changed2", "rain"))
    assert_file_is_joblibs(engine)
    engine.multilang_models["pt"] = SentenceTransformer(tiny_model_path)
    engine.train_model(record("swapped", "chuva", Tongue.PORTUGUESE))
    assert_file_is_joblibs(engine)
    loaded = EmbeddingFinder(str(tmp_path), True)
    assert loaded.document_names == engine.document_names
    for key, vectors in engine.embedded_documents.items():
        assert all(torch.equal(a, b) for a, b in zip(vectors, loaded.embedded_documents[key]))


def test_models_are_written_natively_and_kept_between_trainings(tmp_path, monkeypatch,
                                                               tiny_model_path):
    # After a first write, neither joblib's pickler nor the models'
    # own pickling runs again while the models stay the same.
    monkeypatch.setattr(encoder_module, "SentenceTransformer",
                        RecordingLoader(lambda i: SentenceTransformer(tiny_model_path)))
    engine = EmbeddingFinder(str(tmp_path))
    engine.train_model(record("a", "the rain", None))
    model = engine.multilang_models["main"]
    calls = []
    real_reduce = type(model).__reduce_ex__

    def counting_reduce(self, protocol):
        calls.append(self)
        return real_reduce(self, protocol)

    def refuse(*args, **kwargs):
        raise AssertionError("joblib's pickler was used")

    monkeypatch.setattr(numpy_pickle.NumpyPickler, "dump", refuse)
    monkeypatch.setattr(type(model), "__reduce_ex__", counting_reduce, raising=False)
    for k in range(3):
        engine.train_model(record(f"n{k}", f"sun park {k}", None))
    assert calls == []
    monkeypatch.undo()
    assert_file_is_joblibs(engine)


def test_model_weights_changed_where_no_version_counter_sees_are_in_the_file(
        tmp_path, monkeypatch, tiny_model_path):
    # Writes through .data or a NumPy view leave a parameter's version and
    # address as they were; the kept models' bytes must follow them all the
    # same (they are read from the storages at every write, nothing is
    # pickled again), wherever the storage lies in the stream: in the frame
    # left open, in a committed one, outside any frame (past a frame's size).
    monkeypatch.setattr(encoder_module, "SentenceTransformer",
                        RecordingLoader(lambda i: SentenceTransformer(tiny_model_path)))
    engine = EmbeddingFinder(str(tmp_path))
    engine.train_model(record("a", "the rain", None))
    tiny = engine.multilang_models["main"]
    torch.manual_seed(0)
    large = torch.nn.Sequential(torch.nn.Linear(200, 100), torch.nn.LayerNorm(100))
    parameters = list(tiny.parameters())
    changes = [
        lambda: parameters[0].data.add_(1.0),
        lambda: parameters[-1].detach().numpy().__setitem__(0, 7.0),
        lambda: engine.multilang_models.update(main=large, pt=tiny),
        lambda: large[0].weight.data.mul_(2.0),
        lambda: large[1].bias.detach().numpy().__setitem__(3, 5.0),
        lambda: parameters[len(parameters) // 2].data.mul_(0.5),
    ]
    reduced = []
    real_reduce = torch.nn.Module.__reduce_ex__
    monkeypatch.setattr(torch.nn.Module, "__reduce_ex__",
                        lambda self, protocol: reduced.append(self) or real_reduce(self, protocol),
                        raising=False)
    for k, change in enumerate(changes):
        change()
        reduced.clear()
        engine.save_model()
        if k != 2:  # (models put in are pickled once)
            assert reduced == []
        assert_file_is_joblibs(engine)


def test_embedding_file_with_stand_in_models_and_many_vectors(tmp_path, monkeypatch):
    monkeypatch.setattr(encoder_module, "SentenceTransformer",
                        RecordingLoader(lambda i: TensorModel()))
    engine = EmbeddingFinder(str(tmp_path))
    for k in range(1200):  # more than one pickle batch and 256 memo entries
        engine.embedded_documents.setdefault("main", []).append(TensorModel().encode(f"t{k}"))
        engine.document_names.setdefault("main", []).append(f"t{k}")
    engine.multilang_models["main"] = TensorModel()
    engine.train_model(record("last", "last text", None))
    assert_file_is_joblibs(engine)
    engine.multilang_models["main"].dim = 4  # a stand-in is never taken as unchanged
    engine.train_model(record("after", "after", None))
    assert_file_is_joblibs(engine)
    assert EmbeddingFinder(str(tmp_path)).document_names["main"][-2:] == ["last", "after"]


def test_objects_the_native_writer_leaves_to_joblib_are_still_written(tmp_path, monkeypatch):
    monkeypatch.setattr(encoder_module, "SentenceTransformer",
                        RecordingLoader(lambda i: TensorModel()))
    engine = EmbeddingFinder(str(tmp_path))
    engine.multilang_models["main"] = TensorModel()
    engine.document_names["main"] = [{"a", "b"}, frozenset({1}), bytearray(b"xy")]
    engine.embedded_documents["main"] = [collections.OrderedDict(v=1), types.SimpleNamespace(z=2),
                                         TensorModel().encode("q")]
    with pytest.raises(TypeError, match="JSON"):  # the debug file refuses a set
        engine.save_model()
    assert_file_is_joblibs(engine)


def test_stored_tensors_are_written_from_kept_bytes_and_their_storage(tmp_path, monkeypatch):
    monkeypatch.setattr(encoder_module, "SentenceTransformer",
                        RecordingLoader(lambda i: TensorModel()))
    engine = EmbeddingFinder(str(tmp_path))
    engine.multilang_models["main"] = TensorModel()
    vectors = [TensorModel().encode(f"v{k}") for k in range(600)]
    with torch.inference_mode():
        vectors += [torch.randn(1, 8)[0] for _ in range(300)]
    engine.embedded_documents["main"] = vectors
    engine.document_names["main"] = [f"v{k}" for k in range(len(vectors))]
    engine.save_model()
    assert_file_is_joblibs(engine)
    reduced = count_reduces(monkeypatch)
    engine.save_model()
    # Every tensor comes from its kept bytes, also where a pickle frame
    # ends inside one.
    assert reduced == []
    # In-place changes (ordinary and inference tensors) are read from the
    # storage: no new pickle; a reordering, a tensor put in front: each
    # file is still exactly joblib's.
    vectors[3].add_(1.0)
    with torch.inference_mode():
        vectors[700].mul_(2.0)
    engine.save_model()
    assert reduced == []
    monkeypatch.undo()
    assert_file_is_joblibs(engine)
    vectors.reverse()
    engine.save_model()
    assert_file_is_joblibs(engine)
    vectors.insert(0, torch.ones(8))
    engine.document_names["main"].insert(0, "front")
    engine.save_model()
    assert_file_is_joblibs(engine)
    # A torch model in front now writes the classes the tensors' kept bytes
    # wrote themselves: they must refer to those instead.
    engine.multilang_models["main"] = torch.nn.Linear(8, 2)
    engine.save_model()
    assert_file_is_joblibs(engine)
    engine.save_model()
    assert_file_is_joblibs(engine)


def engine_with_vectors(tmp_path, monkeypatch, vectors):
    monkeypatch.setattr(encoder_module, "SentenceTransformer",
                        RecordingLoader(lambda i: TensorModel()))
    engine = EmbeddingFinder(str(tmp_path))
    engine.multilang_models["main"] = TensorModel()
    engine.embedded_documents["main"] = vectors
    engine.document_names["main"] = [f"v{k}" for k in range(len(vectors))]
    engine.save_model()
    assert_file_is_joblibs(engine)
    return engine


def count_reduces(monkeypatch):
    reduced = []
    real = torch.Tensor.__reduce_ex__

    def counting(self, protocol):
        reduced.append(self)
        return real(self, protocol)

    monkeypatch.setattr(torch.Tensor, "__reduce_ex__", counting)
    return reduced


def reduced_by_write_after(change, engine, monkeypatch):
    """Makes `change`, writes the file, checks it is joblib's: the tensors
    the write pickled again."""
    reduced = count_reduces(monkeypatch)
    change()
    engine.save_model()
    monkeypatch.undo()
    assert_file_is_joblibs(engine)
    return reduced


def test_kept_tensors_changed_in_place_by_any_route_are_written_again(tmp_path, monkeypatch):
    # Writes through a NumPy view or through .data do not count as in-place
    # changes of the tensor, yet change its pickle (its storage's bytes,
    # read where they are: no new pickle); so do its geometry, storage,
    # dtype, flags and attributes (a new pickle).
    with torch.inference_mode():
        frozen = torch.randn(8)
    vectors = [torch.randn(8) for _ in range(40)] + [frozen]
    engine = engine_with_vectors(tmp_path, monkeypatch, vectors)
    grown = torch.randn(8)
    contents = [
        lambda: vectors[0].numpy().__setitem__(0, 42.0),
        lambda: vectors[1].data.mul_(3.0),
        lambda: frozen.numpy().__setitem__(1, -7.0),
        lambda: vectors[13].numpy()[::2].fill(0.5),
    ]
    for change in contents:
        assert reduced_by_write_after(change, engine, monkeypatch) == []
    changes = [
        lambda: setattr(vectors[2], "data", torch.ones(8)),
        lambda: setattr(vectors[3], "data", vectors[3].data.double()),
        lambda: vectors[4].requires_grad_(True),
        lambda: vectors[4].requires_grad_(False),
        lambda: vectors[5].resize_(4),
        lambda: vectors[6].resize_(20),
        lambda: vectors[7].unsqueeze_(0),
        lambda: vectors[8].t_() if vectors[8].dim() == 2 else vectors[8].as_strided_((4,), (2,)),
        lambda: vectors[9].untyped_storage().resize_(64),
        lambda: vectors[10].set_(grown.untyped_storage(), 2, (3,), (1,)),
        lambda: setattr(vectors[11], "note", "kept apart"),
        lambda: delattr(vectors[11], "note"),
        lambda: vectors[12].__dict__.update(more=[1, 2]),
        lambda: vectors[12].__dict__["more"].append(3),
    ]
    for change in changes:
        reduced = reduced_by_write_after(change, engine, monkeypatch)
        # Only the changed tensor is pickled again (and the one holding
        # attributes, whose pickle is never kept).
        assert len([t for t in reduced if t is not vectors[12]]) <= 1
    reduced = reduced_by_write_after(lambda: None, engine, monkeypatch)
    # Only the tensor whose attributes stay (never kept) is pickled again.
    assert [id(t) for t in reduced] == [id(vectors[12])]


def test_tensor_methods_replaced_between_writes_are_the_ones_the_check_reads(
        tmp_path, monkeypatch):
    # The check reads a tensor through the class's own accessors; a method
    # replaced on the class after a write is what the pickle then calls,
    # so the check must call it too.
    vectors = [torch.randn(8) for _ in range(20)]
    engine = engine_with_vectors(tmp_path, monkeypatch, vectors)
    real = torch.Tensor.stride

    def stride(self, *args):
        return (2,) if self is vectors[3] and not args else real(self, *args)

    monkeypatch.setattr(torch.Tensor, "stride", stride)
    engine.save_model()
    assert_file_is_joblibs(engine)
    monkeypatch.undo()
    engine.save_model()
    assert_file_is_joblibs(engine)


def test_kept_tensors_follow_the_lists_as_documents_come_and_go(tmp_path, monkeypatch):
    vectors = [torch.randn(8) for _ in range(300)]
    engine = engine_with_vectors(tmp_path, monkeypatch, vectors)
    names = engine.document_names["main"]
    other = [torch.randn(8) for _ in range(50)]
    edits = [
        lambda: (vectors.__setitem__(10, torch.zeros(8)), None),
        lambda: (vectors.insert(5, torch.ones(8)), names.insert(5, "in")),
        lambda: (vectors.pop(100), names.pop(100)),
        lambda: (vectors.reverse(), names.reverse()),
        lambda: (vectors.append(vectors[7]), names.append("again")),  # the same tensor twice
        lambda: engine.embedded_documents.__setitem__("pt", other[:25] + vectors[:25]),
        lambda: engine.document_names.__setitem__("pt", [f"p{k}" for k in range(50)]),
        lambda: (vectors.__delitem__(slice(0, 25)), names.__delitem__(slice(0, 25))),
        lambda: engine.embedded_documents.__setitem__(
            "main", engine.embedded_documents.pop("main")),  # the languages reordered
    ]
    for edit in edits:
        edit()
        engine.save_model()
        assert_file_is_joblibs(engine)
    reduced = count_reduces(monkeypatch)
    engine.save_model()
    monkeypatch.undo()
    assert reduced == []
    assert_file_is_joblibs(engine)


@pytest.mark.parametrize("dims", [[8], [3, 16, 40, 1], [100, 1]])
def test_frames_ending_inside_kept_tensors_end_where_joblib_ends_them(tmp_path, monkeypatch,
                                                                    dims):
    # Thousands of pickles of various sizes: frame ends fall inside kept
    # ones at every place, and move as tensors are put in front.
    vectors = [torch.randn(dims[k % len(dims)]) for k in range(3000)]
    vectors.append(torch.randn(20000))  # storage past a frame: written outside any
    engine = engine_with_vectors(tmp_path, monkeypatch, vectors)
    names = engine.document_names["main"]
    for k in range(1, 6):
        reduced = count_reduces(monkeypatch)
        vectors.insert(0, torch.randn(k))
        names.insert(0, f"front{k}")
        engine.save_model()
        monkeypatch.undo()
        assert_file_is_joblibs(engine)
        # Pickled again: the new tensor, the one before it (it wrote the
        # classes that the new one writes now) and the large one.
        assert [id(t) for t in reduced] == [id(vectors[0]), id(vectors[1]), id(vectors[-1])]


class InterruptingModule(types.ModuleType):
    """A module whose one armed lookup is interrupted, as Ctrl-C would
    interrupt any Python code the writer runs."""

    def __init__(self, name, cls):
        super().__init__(name)
        self.cls, self.armed = cls, False

    def __getattr__(self, name):
        if name != self.cls.__qualname__:
            raise AttributeError(name)
        if self.armed:
            self.armed = False
            raise KeyboardInterrupt
        return self.cls


def test_an_interruption_while_the_file_is_written_reaches_the_caller(tmp_path, monkeypatch):
    # The writer leaves to joblib what it cannot write itself; an
    # interruption is no such thing: taken for one, it was lost (joblib then
    # wrote the file and the training went on as if nothing had happened).
    monkeypatch.setattr(encoder_module, "SentenceTransformer",
                        RecordingLoader(lambda i: TensorModel()))

    class InterruptedModel(TensorModel):
        pass

    InterruptedModel.__module__ = "interrupting_stand_in"
    InterruptedModel.__qualname__ = "InterruptedModel"
    module = InterruptingModule(InterruptedModel.__module__, InterruptedModel)
    monkeypatch.setitem(sys.modules, module.__name__, module)
    engine = EmbeddingFinder(str(tmp_path))
    engine.multilang_models["main"] = InterruptedModel()
    engine.embedded_documents["main"], engine.document_names["main"] = [], []
    engine.train_model(record("a", "first text", None))
    with open(engine.model_filename, "rb") as f:
        before = f.read()
    module.armed = True
    with pytest.raises(KeyboardInterrupt):
        engine.train_model(record("b", "second text", None))
    assert not module.armed
    with open(engine.model_filename, "rb") as f:
        assert f.read() == before
    assert engine.document_names["main"] == ["a"]
    engine.train_model(record("b", "second text", None))
    assert_file_is_joblibs(engine)
