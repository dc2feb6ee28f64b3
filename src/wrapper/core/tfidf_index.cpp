// The query index of a fitted vectorizer and its matrix, and the test of
// whether the two are what the native query path reproduces exactly
// (default TfidfVectorizer settings, a finite float64 CSR matrix whose
// columns are the vocabulary's); anything else takes the library's path.
#include <nanobind/nanobind.h>

#include <cmath>

#include "pyface/errors.hpp"
#include "pyface/unicode.hpp"
#include "wrapper/core/tfidf_state.hpp"
#include "wrapper/core/tfidf_support.hpp"

namespace wrapper::tfidf {

namespace {

// Every setting the query path depends on still has its default value.
bool has_default_settings(nb::handle obj, nb::handle type, const nb::dict &defaults) {
    if (Py_TYPE(obj.ptr()) != reinterpret_cast<PyTypeObject *>(type.ptr())) return false;
    PyObject *dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (dict == nullptr) {
        PyErr_Clear();
        return false;
    }
    nb::object own = nb::steal(dict);
    for (auto [name, value] : defaults) {
        PyObject *current = PyDict_GetItemWithError(dict, name.ptr());
        if (current == nullptr) {
            PyErr_Clear();
            return false;
        }
        const int same = PyObject_RichCompareBool(current, value.ptr(), Py_EQ);
        if (same != 1) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

nb::object own_attr(nb::handle obj, const char *name) {
    PyObject *dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (dict == nullptr) {
        PyErr_Clear();
        return nb::object();
    }
    nb::object own = nb::steal(dict);
    PyObject *v = PyDict_GetItemString(dict, name);
    return v ? nb::borrow(v) : nb::object();
}

bool all_finite(const double *v, size_t n) {
    for (size_t k = 0; k < n; ++k)
        if (!std::isfinite(v[k])) return false;
    return true;
}

template <class Index>
bool build_postings(SearchIndex &index, size_t rows, size_t cols, const Buffer &data,
                    const Buffer &indices, const Buffer &indptr) {
    const auto *p = static_cast<const Index *>(indptr.data());
    if (indptr.size() != rows + 1 || p[0] != 0 || p[rows] < 0) return false;
    const auto nnz = static_cast<size_t>(p[rows]);
    if (data.size() < nnz || indices.size() < nnz) return false;
    const auto *x = static_cast<const double *>(data.data());
    const auto *j = static_cast<const Index *>(indices.data());
    // The GIL stays held: the arrays are read in place, several times, and
    // no other thread may change them meanwhile.
    if (!all_finite(x, nnz)) return false;
    try {
        index.postings = wrapper_native::PostingIndex(rows, cols, x, j, p);
    } catch (const std::invalid_argument &) {
        return false;
    }
    return true;
}

std::shared_ptr<const SearchIndex> build(const std::vector<nb::object> &key) {
    nb::handle vocabulary = key[1], idf = key[2], matrix = key[3];
    if (!PyDict_CheckExact(vocabulary.ptr())) return nullptr;
    nb::object shape = matrix.attr("shape");
    if (!PyTuple_Check(shape.ptr()) || nb::len(shape) != 2) return nullptr;
    const auto rows = nb::cast<size_t>(shape[0]);
    const auto cols = nb::cast<size_t>(shape[1]);
    if (nb::len(vocabulary) != cols) return nullptr;

    Buffer w, data, indices, indptr;
    if (!w.open(idf) || w.kind() != 'd' || w.size() != cols) return nullptr;
    if (!data.open(key[4]) || data.kind() != 'd') return nullptr;
    if (!indices.open(key[5]) || !indptr.open(key[6])) return nullptr;
    if (indices.kind() != indptr.kind() || indices.kind() == 'd') return nullptr;

    auto index = std::make_shared<SearchIndex>();
    index->key = key;
    const auto *idf_values = static_cast<const double *>(w.data());
    if (!all_finite(idf_values, cols)) return nullptr;
    index->idf.assign(idf_values, idf_values + cols);

    // The vocabulary must number its terms 0..cols-1, each once: then
    // get_feature_names_out lists exactly these terms by column.
    std::vector<nb::object> by_column(cols);
    std::vector<std::u32string> texts(cols);
    for (auto [term, column] : nb::borrow<nb::dict>(vocabulary)) {
        if (!PyUnicode_CheckExact(term.ptr()) || !PyLong_CheckExact(column.ptr())) return nullptr;
        const Py_ssize_t c = PyLong_AsSsize_t(column.ptr());
        if (c < 0 || static_cast<size_t>(c) >= cols || by_column[c].is_valid()) {
            PyErr_Clear();
            return nullptr;
        }
        by_column[c] = nb::borrow(term);
        texts[c] = pyface::to_u32(term);
    }
    for (size_t c = 0; c < cols; ++c) {
        index->names.append(by_column[c]);
        index->column_of.intern(texts[c]);  // distinct terms: the id is c
    }
    const bool ok = indices.kind() == 'i'
                        ? build_postings<int32_t>(*index, rows, cols, data, indices, indptr)
                        : build_postings<int64_t>(*index, rows, cols, data, indices, indptr);
    if (!ok) return nullptr;
    {
        nb::gil_scoped_release unlocked;
        index->terms = wrapper_native::CloseMatchIndex(texts);
    }
    index->vocabulary_size = cols;
    return index;
}

}  // namespace

std::vector<nb::object> index_key(nb::handle vectorizer, nb::handle matrix) {
    const Originals &o = originals();
    if (!has_default_settings(vectorizer, o.TfidfVectorizer, o.vectorizer_defaults)) return {};
    nb::object transformer = own_attr(vectorizer, "_tfidf");
    if (!transformer.is_valid() ||
        !has_default_settings(transformer, o.TfidfTransformer, o.transformer_defaults))
        return {};
    const PyTypeObject *mtype = Py_TYPE(matrix.ptr());
    if (mtype != reinterpret_cast<PyTypeObject *>(o.csr_matrix.ptr()) &&
        mtype != reinterpret_cast<PyTypeObject *>(o.csr_array.ptr()))
        return {};
    nb::object vocabulary = own_attr(vectorizer, "vocabulary_");
    nb::object idf = own_attr(transformer, "idf_");
    nb::object data = own_attr(matrix, "data"), indices = own_attr(matrix, "indices"),
               indptr = own_attr(matrix, "indptr"), shape = own_attr(matrix, "_shape");
    for (const nb::object *part : {&vocabulary, &idf, &data, &indices, &indptr, &shape})
        if (!part->is_valid()) return {};
    return {nb::borrow(vectorizer), vocabulary, idf, nb::borrow(matrix),
            data, indices, indptr, shape};
}

namespace {

std::shared_ptr<const SearchIndex> index_for(nb::handle self, nb::handle vectorizer,
                                             nb::handle matrix, bool allow_live) {
    std::vector<nb::object> key = index_key(vectorizer, matrix);
    if (key.empty()) return nullptr;
    EngineCache *cache = engine_cache(self);
    if (cache != nullptr && cache->search && (allow_live || !cache->search->live)) {
        const auto &old = cache->search->key;
        bool same = old.size() == key.size();
        for (size_t k = 0; same && k < key.size(); ++k) same = old[k].is(key[k]);
        // The vocabulary dict could have been edited in place.
        if (same && nb::len(key[1]) == cache->search->vocabulary_size) return cache->search;
    }
    std::shared_ptr<const SearchIndex> index = build(key);
    if (index && cache != nullptr) cache->search = index;
    return index;
}

}  // namespace

std::shared_ptr<const SearchIndex> search_index(nb::handle self, nb::handle vectorizer,
                                                nb::handle matrix) {
    return index_for(self, vectorizer, matrix, true);
}

std::shared_ptr<const SearchIndex> search_index_from_arrays(nb::handle self,
                                                            nb::handle vectorizer,
                                                            nb::handle matrix) {
    return index_for(self, vectorizer, matrix, false);
}

void install_live_index(nb::handle self, nb::handle vectorizer, nb::handle matrix,
                        const std::shared_ptr<TrainState> &state) {
    EngineCache *cache = engine_cache(self);
    if (cache == nullptr) return;
    std::vector<nb::object> key = index_key(vectorizer, matrix);
    if (key.empty()) return;
    auto index = std::make_shared<SearchIndex>();
    index->vocabulary_size = nb::len(key[1]);
    index->key = std::move(key);
    index->live = state;
    index->version = state->version;
    cache->search = index;
}

}  // namespace wrapper::tfidf
