"""The TF-IDF matrix is made again at every training, and its large arrays
take their memory from blocks an earlier matrix freed. Recycled memory still
holds that matrix's values: every training must overwrite all of it, and the
arrays must behave as any NumPy array that owns its data."""
import gc
import random
import sys

import numpy as np
import pytest

from test_tfidf_finder import (assert_model_equals_sklearn, plain_preparation,  # noqa: F401
                               record)
from wrapper.core.TfidfFinder import TfidfFinder

try:
    from numpy._core.multiarray import get_handler_name
except ImportError:  # NumPy 1.x
    from numpy.core.multiarray import get_handler_name

BLOCK_BYTES = 4 << 20  # below this an array's memory is plain malloc


@pytest.fixture(scope="module")
def texts():
    # 1,500 documents of 420 distinct words: data arrays of about 5 MB.
    rng = random.Random(5)
    types = ["".join(rng.choice("abcdefghijklmnop") for _ in range(7)) for _ in range(30_000)]
    return [" ".join(rng.sample(types, 420)) for _ in range(1_500)]


def test_recycled_matrices_are_the_fits_of_their_collections(tmp_path, texts,
                                                            plain_preparation):  # noqa: F811
    engine = TfidfFinder(str(tmp_path))
    engine.train_models([record(f"d{i}", t) for i, t in enumerate(texts[:1_400])])
    assert engine.tfidf_matrix.data.nbytes > BLOCK_BYTES
    assert get_handler_name(engine.tfidf_matrix.data) == "wrapper_recycling_allocator"
    addresses = {engine.tfidf_matrix.data.ctypes.data}
    reused = 0
    # Additions, a replacement by a much shorter text (the matrix shrinks
    # into a block that held more) and one by a longer text again.
    steps = [("x1", texts[1_400]), ("x2", texts[1_401]), ("d7", "ab cd ef"),
             ("x3", texts[1_402]), ("d7", texts[1_403]), ("x4", texts[1_404])]
    for doc_id, text in steps:
        if doc_id in engine.document_names:
            engine.document_names.remove(doc_id)
        engine.train_model(record(doc_id, text))
        address = engine.tfidf_matrix.data.ctypes.data
        reused += address in addresses
        addresses.add(address)
        assert engine.tfidf_matrix.data.flags.owndata
        assert_model_equals_sklearn(engine)
    # Two matrices alive at a time (the engine's and the one being made):
    # from the third training on, each takes the block the one before
    # last freed.
    assert reused >= len(steps) - 2


def test_a_recycled_array_resizes_as_numpy_arrays_do(tmp_path, texts,
                                                     plain_preparation):  # noqa: F811
    engine = TfidfFinder(str(tmp_path))
    engine.train_models([record(f"d{i}", t) for i, t in enumerate(texts[:1_400])])
    data = engine.tfidf_matrix.data
    del engine
    gc.collect()
    assert sys.getrefcount(data) == 2  # ours alone: NumPy may resize it in place
    expected = data.copy()
    size = data.size
    data.resize(size + 10)                 # within the block's slack
    data.resize(3 * size)                  # beyond it: moved to a larger block
    assert np.array_equal(data[:size], expected)
    assert not data[size:].any()           # NumPy zero-fills what it adds
    data.resize(100)                       # far smaller
    assert np.array_equal(data, expected[:100])
    del data
    gc.collect()
