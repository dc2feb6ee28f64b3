// Fitting without refitting: the vectorizer's fitted state and the matrix
// are assembled from the counts kept natively, so that both are the objects
// TfidfVectorizer().fit_transform(texts) (or fit + transform of a single
// text) would have produced: same vocabulary dict (insertion order too),
// same idf array, same CSR arrays bit for bit and in the same stored order.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <cmath>
#include <limits>
#include <mutex>
#include <shared_mutex>

#include "pyface/errors.hpp"
#include "pyface/unicode.hpp"
#include "wrapper/core/tfidf_layout.hpp"
#include "wrapper/core/tfidf_state.hpp"
#include "wrapper/core/tfidf_support.hpp"

namespace wrapper::tfidf {

namespace {

using wrapper_native::IncrementalTfidf;
using wrapper_native::RowOrder;

struct NewText {
    size_t row;
    std::u32string lowered;
};

void forget_counts(TrainState &state) {
    state.model = IncrementalTfidf();
    state.docs.clear();
    state.names.clear();
    state.vocabulary = nb::object();
    state.vocabulary_column.clear();
    state.vocabulary_deleted = 0;
}

bool same_document(const TrainState::Doc &old, PyObject *key, PyObject *text) {
    if (old.key.ptr() != key) return false;
    if (old.text.ptr() == text) return true;
    if (!PyUnicode_CheckExact(text)) return false;
    const int equal = PyUnicode_Compare(old.text.ptr(), text);
    if (equal == -1 && PyErr_Occurred()) throw nb::python_error();
    return equal == 0;
}

// The documents of a fit: key and text of each, in order, borrowed from
// the caller's lists or dict. Read without taking references (a collection
// has 10^5 of them, far apart in memory); valid while the GIL is held and
// the fit has not released it since they were read.
struct Documents {
    std::vector<PyObject *> keys, texts;

    Documents() = default;
    // `keys` and `texts` are lists; or `keys` is a dict and `texts` null,
    // the texts being its values.
    Documents(nb::handle keys_, nb::handle texts_) {
        if (!texts_.is_valid()) {
            keys.reserve(static_cast<size_t>(PyDict_GET_SIZE(keys_.ptr())));
            texts.reserve(keys.capacity());
            PyObject *k, *v;
            Py_ssize_t pos = 0;
            while (PyDict_Next(keys_.ptr(), &pos, &k, &v)) {
                keys.push_back(k);
                texts.push_back(v);
            }
            return;
        }
        const Py_ssize_t n = PyList_GET_SIZE(texts_.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) {
            keys.push_back(PyList_GET_ITEM(keys_.ptr(), i));
            texts.push_back(PyList_GET_ITEM(texts_.ptr(), i));
        }
    }
    size_t size() const { return texts.size(); }
    // Takes references to them, before anything that may run Python code
    // (a key's __hash__ or __eq__) and so change the caller's collections.
    void hold() {
        if (!held_.empty()) return;
        held_.reserve(2 * size());
        for (size_t i = 0; i < size(); ++i) {
            held_.push_back(nb::borrow(keys[i]));
            held_.push_back(nb::borrow(texts[i]));
        }
    }

private:
    std::vector<nb::object> held_;
};

// For each of the documents, the position of the same document among the
// ones last fitted, or -1. The usual changes (documents appended, a few
// taken out of the middle) are found by walking both lists side by side;
// anything else is looked up by key.
std::vector<long> match_documents(const TrainState &state, Documents &docs) {
    const size_t n = docs.size();
    std::vector<long> plan(n, -1);
    std::vector<bool> taken(state.docs.size(), false);
    nb::dict where;  // key -> position, made on first need
    bool indexed = false;
    size_t j = 0;
    for (size_t i = 0; i < n; ++i) {
        PyObject *key = docs.keys[i];
        PyObject *text = docs.texts[i];
        long found = -1;
        for (size_t look = j; look < state.docs.size() && look < j + 4; ++look) {
            if (!taken[look] && same_document(state.docs[look], key, text)) {
                found = static_cast<long>(look);
                break;
            }
        }
        if (found < 0 && j < state.docs.size()) {
            if (!indexed) {
                docs.hold();
                for (size_t k = 0; k < state.docs.size(); ++k)
                    where[state.docs[k].key] = nb::int_(k);
                indexed = true;
            }
            PyObject *hit = PyDict_GetItemWithError(where.ptr(), key);
            if (hit == nullptr && PyErr_Occurred()) throw nb::python_error();
            if (hit != nullptr) {
                const size_t k = PyLong_AsSize_t(hit);
                if (!taken[k] && same_document(state.docs[k], key, text))
                    found = static_cast<long>(k);
            }
        }
        if (found >= 0) {
            taken[static_cast<size_t>(found)] = true;
            plan[i] = found;
            j = static_cast<size_t>(found) + 1;
        }
    }
    return plan;
}

// Brings `state` to the documents in their order, as matched by `plan`
// (match_documents; every text it did not match is an exact str): a
// document whose key and text are unchanged keeps its counts; the others
// are counted afresh and the ones that are gone are dropped.
void sync(TrainState &state, const Documents &docs, const std::vector<long> &plan) {
    const size_t n = docs.size();
    std::vector<bool> kept(state.docs.size(), false);
    std::vector<TrainState::Doc> next;
    next.reserve(n);
    std::vector<NewText> fresh;
    for (size_t i = 0; i < n; ++i) {
        if (plan[i] >= 0) {
            // Moved, not copied: a copy would touch the reference counts
            // of 10^5 keys and texts scattered in memory. (Should anything
            // below fail, the state is dropped, not checked back in.)
            kept[static_cast<size_t>(plan[i])] = true;
            next.push_back(std::move(state.docs[static_cast<size_t>(plan[i])]));
            continue;
        }
        nb::object text = nb::borrow(docs.texts[i]);
        // The library lower-cases with str.lower (full Unicode mapping).
        fresh.push_back({i, pyface::to_u32(text.attr("lower")())});
        next.push_back({nb::borrow(docs.keys[i]), text, 0});
    }
    // From here on `next` holds what is kept of the documents.
    std::vector<IncrementalTfidf::DocId> gone;
    for (size_t j = 0; j < state.docs.size(); ++j)
        if (!kept[j]) gone.push_back(state.docs[j].id);
    std::vector<uint32_t> released, vanished;
    {
        nb::gil_scoped_release unlocked;
        for (NewText &t : fresh)
            next[t.row].id = state.model.add(wrapper_native::count_terms(
                t.lowered, pyface::python_classes(), state.model.terms()));
        for (auto id : gone) state.model.remove(id);
    }
    if (state.model.needs_true_order()) {
        // Documents taken over from the file must be counted after all
        // (their keys and texts are held by `next`).
        forget_counts(state);
        Documents again;
        for (const auto &d : next) {
            again.keys.push_back(d.key.ptr());
            again.texts.push_back(d.text.ptr());
        }
        sync(state, again, std::vector<long>(again.size(), -1));
        return;
    }
    {
        nb::gil_scoped_release unlocked;
        std::vector<IncrementalTfidf::DocId> rows;
        rows.reserve(next.size());
        for (const auto &d : next) rows.push_back(d.id);
        state.model.set_rows(std::move(rows));
        released = state.model.take_released();
        vanished = state.model.take_vanished();
    }
    state.docs = std::move(next);
    // A term that left every row leaves the vocabulary (if it is back, it
    // is appended again in its new place); released ids are handed out
    // again, so nothing may still name them.
    for (const auto *terms : {&vanished, &released}) {
        for (uint32_t t : *terms) {
            if (t < state.vocabulary_column.size() &&
                state.vocabulary_column[t] != wrapper_native::TermTable::kMissing) {
                if (state.vocabulary.is_valid() && t < state.names.size() &&
                    state.names[t].is_valid() &&
                    PyDict_DelItem(state.vocabulary.ptr(), state.names[t].ptr()) == 0) {
                    ++state.vocabulary_deleted;
                } else {
                    PyErr_Clear();
                    state.vocabulary = nb::object();
                }
                state.vocabulary_column[t] = wrapper_native::TermTable::kMissing;
            }
        }
    }
    for (uint32_t t : released)
        if (t < state.names.size()) state.names[t] = nb::object();
}

nb::object term_name(TrainState &state, uint32_t term) {
    if (state.names.size() <= term) state.names.resize(state.model.terms().size());
    nb::object &name = state.names[term];
    if (!name.is_valid()) name = pyface::from_u32(state.model.terms().text(term));
    return name;
}

nb::object column_int(TrainState &state, uint32_t column) {
    if (state.column_ints.size() <= column) state.column_ints.resize(column + 1);
    nb::object &value = state.column_ints[column];
    if (!value.is_valid()) value = nb::int_(column);
    return value;
}

// vocabulary_ (terms in order of first sight, each mapped to its column).
// The state keeps the last one it built (never handed out: the vectorizer
// gets a copy). While the order of first sight only grew, that dict is
// updated in place (moved columns set, new terms appended) and copied:
// even when most columns moved, this is cheaper than building it again.
nb::object vocabulary_of(TrainState &state) {
    const IncrementalTfidf &model = state.model;
    const std::vector<uint32_t> &order = model.first_seen_terms();
    constexpr uint32_t kMissing = wrapper_native::TermTable::kMissing;
    state.vocabulary_column.resize(model.terms().size(), kMissing);
    const bool rebuild = !state.vocabulary.is_valid() || model.reordered() ||
                         state.vocabulary_deleted * 4 > order.size() + 64;
    if (rebuild) {
        state.vocabulary = nb::dict();
        state.vocabulary_deleted = 0;
        std::fill(state.vocabulary_column.begin(), state.vocabulary_column.end(), kMissing);
    }
    PyObject *dict = state.vocabulary.ptr();
    for (uint32_t term : order) {
        const uint32_t column = model.column_of(term);
        uint32_t &have = state.vocabulary_column[term];
        if (have == column) continue;
        pyface::check_status(PyDict_SetItem(dict, term_name(state, term).ptr(),
                                            column_int(state, column).ptr()));
        have = column;
    }
    return nb::steal(pyface::check(PyDict_Copy(dict)));
}

// idf exactly as TfidfTransformer.fit computes it (the same NumPy calls on
// the same values: smooth df, n + 1 divided by it, log in place, plus one).
nb::object smooth_idf(const IncrementalTfidf &model) {
    const Originals &o = originals();
    const std::vector<double> counts = model.document_frequencies();
    nb::object df = new_array(counts.size(), "float64");
    auto *d = static_cast<double *>(array_data(df));
    for (size_t c = 0; c < counts.size(); ++c) d[c] = counts[c] + 1.0;
    nb::object n = nb::int_(model.row_count() + 1);
    nb::object idf = o.numpy.attr("full_like")(df, n, nb::arg("dtype") = o.float64);
    idf = nb::steal(pyface::check(PyNumber_InPlaceTrueDivide(idf.ptr(), df.ptr())));
    o.numpy.attr("log")(idf, nb::arg("out") = idf);
    nb::object one = nb::float_(1.0);
    return nb::steal(pyface::check(PyNumber_InPlaceAdd(idf.ptr(), one.ptr())));
}

template <class Index>
void fill_matrix(IncrementalTfidf &model, RowOrder order, nb::handle idf, nb::handle data,
                 nb::handle indices, nb::handle indptr) {
    const auto *w = static_cast<const double *>(array_data(idf));
    auto *x = static_cast<double *>(array_data(data));
    auto *j = static_cast<Index *>(array_data(indices));
    auto *p = static_cast<Index *>(array_data(indptr));
    nb::gil_scoped_release unlocked;
    model.fill<Index>(order, w, x, j, p);
}

}  // namespace

bool native_fit_applies(const pyface::Args &a) {
    return originals().vectorizer.is_pristine(a);
}

bool holds_term(nb::handle text) {
    const std::u32string lowered = pyface::to_u32(nb::borrow(text).attr("lower")());
    bool found = false;
    // Any token will do; the scan cannot stop early, but it is one pass.
    wrapper_native::for_each_token(lowered, pyface::python_classes(),
                                   [&](std::u32string_view) { found = true; });
    return found;
}

nb::object fit_natively(const pyface::Args &a, nb::handle self, nb::handle keys,
                        nb::handle texts, bool single_text) {
    const Originals &o = originals();
    if (!o.vectorizer.is_pristine(a)) return nb::object();
    // The objects are built as the installed library builds them, once that
    // is shown to give its very objects (checked on probe texts, fitted
    // here without an engine).
    const FitLayout *layout = fit_layout(single_text, [&](nb::handle probe, bool single) {
        nb::list ids;
        for (size_t i = 0; i < nb::len(probe); ++i) ids.append(nb::int_(i));
        return fit_natively(a, nb::none(), ids, probe, single);
    });
    if (layout == nullptr) return nb::object();

    // The counts are checked out of the cache for the whole fit: a second
    // thread fitting the same engine meanwhile starts from empty counts
    // instead of sharing them.
    EngineCache *cache = engine_cache(self);
    std::shared_ptr<TrainState> state;
    if (cache != nullptr) state = std::move(cache->train);
    if (!state) state = std::make_shared<TrainState>();
    struct Writing {
        TrainState &s;
        explicit Writing(TrainState &state) : s(state) {
            s.writing = true;
            nb::gil_scoped_release unlocked;
            s.mutex.lock();
        }
        ~Writing() {
            s.mutex.unlock();
            s.writing = false;
        }
    } writing(*state);
    auto check_in = [&] {
        if (EngineCache *c = engine_cache(self)) c->train = state;
    };
    // Read with the GIL held from here until sync has taken references.
    Documents docs(keys, texts);
    const std::vector<long> plan = match_documents(*state, docs);
    // The texts kept from the last fit are str; only the others are looked at.
    for (size_t i = 0; i < docs.size(); ++i) {
        if (plan[i] < 0 && !PyUnicode_CheckExact(docs.texts[i])) {
            check_in();
            return nb::object();
        }
    }
    ++state->version;
    sync(*state, docs, plan);
    IncrementalTfidf &model = state->model;

    const size_t n_cols = model.columns().size();
    if (n_cols == 0) {
        check_in();
        pyface::raise(PyExc_ValueError,
                      "empty vocabulary; perhaps the documents only contain stop words");
    }
    const size_t n_rows = model.row_count(), nnz = model.nnz();
    constexpr size_t kInt32Max = static_cast<size_t>(std::numeric_limits<int32_t>::max());
    const bool wide = nnz > kInt32Max || n_cols > kInt32Max;
    const char *index_type = wide ? "int64" : small_index_dtype(*layout);

    nb::object idf = smooth_idf(model);
    nb::object data = new_array(nnz, "float64");
    nb::object indices = new_array(nnz, index_type);
    nb::object indptr = new_array(n_rows + 1, index_type);
    const RowOrder order = single_text ? RowOrder::Column : RowOrder::FirstSeen;
    if (wide)
        fill_matrix<int64_t>(model, order, idf, data, indices, indptr);
    else
        fill_matrix<int32_t>(model, order, idf, data, indices, indptr);

    nb::object vocabulary = vocabulary_of(*state);

    nb::object fitted = assemble(*layout, vocabulary, idf, data, indices, indptr, n_rows, n_cols);
    install_live_index(self, fitted[0], fitted[1], state);
    check_in();
    return fitted;
}

namespace {

// Tokens of two or more word characters in the lower-cased text, as the
// fit counts them. ASCII text is scanned in place: lower-casing changes no
// character class there.
size_t token_count(PyObject *text) {
    if (PyUnicode_IS_ASCII(text))
        return wrapper_native::count_ascii_tokens(
            static_cast<const unsigned char *>(PyUnicode_DATA(text)),
            static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
    size_t count = 0;
    const std::u32string lowered = pyface::to_u32(nb::borrow(text).attr("lower")());
    wrapper_native::for_each_token(lowered, pyface::python_classes(),
                                   [&](std::u32string_view) { ++count; });
    return count;
}

template <class Index>
bool adopt_rows(const Buffer &data, const Buffer &indices, const Buffer &indptr, size_t rows,
                const double *idf, const std::vector<uint32_t> &rank_of_column,
                const std::vector<PyObject *> &texts,
                std::vector<std::vector<wrapper_native::TermCount>> &out) {
    const auto *x = static_cast<const double *>(data.data());
    const auto *j = static_cast<const Index *>(indices.data());
    const auto *p = static_cast<const Index *>(indptr.data());
    if (indptr.size() != rows + 1 || p[0] != 0) return false;
    const size_t cols = rank_of_column.size();
    out.resize(rows);
    for (size_t r = 0; r < rows; ++r) {
        if (p[r + 1] < p[r] || static_cast<size_t>(p[r + 1]) > data.size() ||
            static_cast<size_t>(p[r + 1]) > indices.size())
            return false;
        const auto b = static_cast<size_t>(p[r]), e = static_cast<size_t>(p[r + 1]);
        for (size_t k = b; k < e; ++k)
            if (j[k] < 0 || static_cast<size_t>(j[k]) >= cols) return false;
        if (!wrapper_native::recover_row_counts(x + b, j + b, e - b, idf, rank_of_column,
                                                token_count(texts[r]), out[r]))
            return false;
    }
    return true;
}

}  // namespace

void adopt_loaded(const pyface::Args &a, nb::handle self) {
    try {
        if (!native_fit_applies(a)) return;
        EngineCache *cache = engine_cache(self);
        if (cache == nullptr) return;
        nb::object cleaned = self.attr("cleaned_text");
        if (!PyDict_CheckExact(cleaned.ptr())) return;
        std::vector<nb::object> key =
            index_key(self.attr("tfidf_vectorizer"), self.attr("tfidf_matrix"));
        if (key.empty()) return;
        const auto rows = nb::cast<size_t>(key[7][0]);
        const auto cols = nb::cast<size_t>(key[7][1]);
        // A model of one row may be a first fit, ordered by column; it is
        // counted again at no cost worth saving.
        if (rows < 2 || rows != nb::len(cleaned) || nb::len(key[1]) != cols) return;
        std::vector<PyObject *> texts;
        std::vector<std::pair<nb::object, nb::object>> documents;
        PyObject *k, *v;
        Py_ssize_t pos = 0;
        while (PyDict_Next(cleaned.ptr(), &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(v)) return;
            texts.push_back(v);
            documents.emplace_back(nb::borrow(k), nb::borrow(v));
        }
        Buffer idf, data, indices, indptr;
        if (!idf.open(key[2]) || idf.kind() != 'd' || idf.size() != cols) return;
        if (!data.open(key[4]) || data.kind() != 'd') return;
        if (!indices.open(key[5]) || !indptr.open(key[6])) return;
        if (indices.kind() != indptr.kind() || indices.kind() == 'd') return;

        // Terms in order of first sight: the order of vocabulary_, their
        // characters in one arena (10^5 terms: no allocation each).
        std::u32string arena;
        std::vector<size_t> ends;
        std::vector<uint32_t> column_of_rank, rank_of_column(cols, UINT32_MAX);
        std::vector<nb::object> names;
        ends.reserve(cols);
        names.reserve(cols);
        pos = 0;
        while (PyDict_Next(key[1].ptr(), &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k) || !PyLong_CheckExact(v)) return;
            const Py_ssize_t c = PyLong_AsSsize_t(v);
            if (c < 0 || static_cast<size_t>(c) >= cols || rank_of_column[c] != UINT32_MAX) {
                PyErr_Clear();
                return;
            }
            rank_of_column[c] = static_cast<uint32_t>(ends.size());
            column_of_rank.push_back(static_cast<uint32_t>(c));
            pyface::append_u32(arena, k);
            ends.push_back(arena.size());
            names.push_back(nb::borrow(k));
        }
        std::vector<std::u32string_view> terms;
        terms.reserve(ends.size());
        for (size_t t = 0, begin = 0; t < ends.size(); begin = ends[t++])
            terms.push_back(std::u32string_view(arena).substr(begin, ends[t] - begin));
        const auto *w = static_cast<const double *>(idf.data());
        std::vector<std::vector<wrapper_native::TermCount>> counts;
        const bool ok =
            indices.kind() == 'i'
                ? adopt_rows<int32_t>(data, indices, indptr, rows, w, rank_of_column, texts, counts)
                : adopt_rows<int64_t>(data, indices, indptr, rows, w, rank_of_column, texts,
                                      counts);
        if (!ok) return;
        auto state = std::make_shared<TrainState>();
        std::vector<IncrementalTfidf::DocId> ids;
        try {
            nb::gil_scoped_release unlocked;
            ids = state->model.adopt(terms, column_of_rank, std::move(counts));
        } catch (const std::invalid_argument &) {
            return;
        }
        // The idf must be the one these counts give.
        nb::object expected = smooth_idf(state->model);
        const int same = PyObject_IsTrue(originals().numpy.attr("array_equal")(expected, key[2]).ptr());
        if (same != 1) {
            PyErr_Clear();
            return;
        }
        for (size_t r = 0; r < rows; ++r)
            state->docs.push_back({documents[r].first, documents[r].second, ids[r]});
        // The loaded vocabulary_ is the one these counts give (term id t is
        // its t-th key): a copy of it is where the next fit's starts, and
        // its str objects name the terms, so that fit neither rebuilds the
        // dict nor makes its 10^5 strings again.
        state->vocabulary = nb::steal(pyface::check(PyDict_Copy(key[1].ptr())));
        state->vocabulary_column = std::move(column_of_rank);
        state->names = std::move(names);
        cache->train = state;
    } catch (const nb::python_error &e) {
        if (pyface::is_stop_request(e)) throw;
    } catch (const std::exception &) {
    }
}

}  // namespace wrapper::tfidf
