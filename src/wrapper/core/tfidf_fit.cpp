// Fitting without refitting: the vectorizer's fitted state and the matrix
// are assembled from the counts kept natively, so that both are the objects
// TfidfVectorizer().fit_transform(texts) (or fit + transform of a single
// text) would have produced: same vocabulary dict (insertion order too),
// same idf array, same CSR arrays bit for bit and in the same stored order.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <limits>

#include "pyface/errors.hpp"
#include "pyface/unicode.hpp"
#include "wrapper/core/tfidf_layout.hpp"
#include "wrapper/core/tfidf_state.hpp"
#include "wrapper/core/tfidf_support.hpp"

namespace tfidf {

namespace {

using wrapper_native::IncrementalTfidf;
using wrapper_native::RowOrder;

struct NewText {
    size_t row;
    std::u32string lowered;
};

// Brings `state` to the documents (keys[i], texts[i]) in that order: a
// document whose key and text are unchanged keeps its counts; the others
// are counted afresh and the ones that are gone are dropped.
void sync(TrainState &state, nb::handle keys, nb::handle texts) {
    const size_t n = nb::len(texts);
    nb::dict where;
    for (size_t i = 0; i < state.docs.size(); ++i) where[state.docs[i].key] = nb::int_(i);
    std::vector<bool> kept(state.docs.size(), false);
    std::vector<TrainState::Doc> next;
    next.reserve(n);
    std::vector<NewText> fresh;
    for (size_t i = 0; i < n; ++i) {
        nb::object key = keys[i];
        nb::object text = texts[i];
        PyObject *hit = PyDict_GetItemWithError(where.ptr(), key.ptr());
        if (hit == nullptr && PyErr_Occurred()) throw nb::python_error();
        if (hit != nullptr) {
            const size_t j = PyLong_AsSize_t(hit);
            const TrainState::Doc &old = state.docs[j];
            if (!kept[j] && (old.text.is(text) ||
                             PyUnicode_Compare(old.text.ptr(), text.ptr()) == 0)) {
                kept[j] = true;
                next.push_back(old);
                continue;
            }
        }
        // The library lower-cases with str.lower (full Unicode mapping).
        fresh.push_back({i, pyface::to_u32(text.attr("lower")())});
        next.push_back({key, text, 0});
    }
    std::vector<IncrementalTfidf::DocId> gone;
    for (size_t j = 0; j < state.docs.size(); ++j)
        if (!kept[j]) gone.push_back(state.docs[j].id);
    {
        nb::gil_scoped_release unlocked;
        for (NewText &t : fresh)
            next[t.row].id = state.model.add(wrapper_native::count_terms(
                t.lowered, pyface::python_classes(), state.model.terms()));
        for (auto id : gone) state.model.remove(id);
        std::vector<IncrementalTfidf::DocId> rows;
        rows.reserve(next.size());
        for (const auto &d : next) rows.push_back(d.id);
        state.model.set_rows(std::move(rows));
    }
    state.docs = std::move(next);
}

nb::object term_name(TrainState &state, uint32_t term) {
    if (state.names.size() <= term) state.names.resize(state.model.terms().size());
    nb::object &name = state.names[term];
    if (!name.is_valid()) name = pyface::from_u32(state.model.terms().text(term));
    return name;
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

nb::object fit_natively(const pyface::Args &a, nb::handle self, nb::handle keys,
                        nb::handle texts, bool single_text) {
    const Originals &o = originals();
    if (!global_is(a, "TfidfVectorizer", o.TfidfVectorizer)) return nb::object();
    for (nb::handle t : texts)
        if (!PyUnicode_CheckExact(t.ptr())) return nb::object();
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
    sync(*state, keys, texts);
    IncrementalTfidf &model = state->model;
    auto check_in = [&] {
        if (EngineCache *c = engine_cache(self)) c->train = state;
    };

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

    // vocabulary_: terms in order of first sight, each mapped to its column.
    nb::dict vocabulary;
    for (uint32_t term : model.first_seen_terms())
        vocabulary[term_name(*state, term)] = nb::int_(model.column_of(term));

    nb::object fitted = assemble(*layout, vocabulary, idf, data, indices, indptr, n_rows, n_cols);
    check_in();
    return fitted;
}

}  // namespace tfidf
