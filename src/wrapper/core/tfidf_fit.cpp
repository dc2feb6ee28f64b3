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

bool native_fit_applies(const pyface::Args &a) {
    return global_is(a, "TfidfVectorizer", originals().TfidfVectorizer);
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
    if (!global_is(a, "TfidfVectorizer", o.TfidfVectorizer)) return nb::object();
    for (nb::handle t : texts)
        if (!PyUnicode_CheckExact(t.ptr())) return nb::object();

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
    const char *index_type = wide ? "int64" : "int32";

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

    // The matrix class and attribute order follow the library's own path:
    // fit_transform's rows come out of a column selection, transform's
    // out of a conversion of its counting result.
    nb::object parts = nb::make_tuple(data, indices, indptr);
    nb::object shape = nb::make_tuple(n_rows, n_cols);
    const bool sparray =
        nb::cast<std::string>(o.sklearn_get_config()["sparse_interface"]) == "sparray";
    nb::object matrix;
    if (sparray)
        matrix = o.csr_array(parts, nb::arg("shape") = shape);
    else if (single_text)
        matrix = o.csr_matrix(o.csr_array(parts, nb::arg("shape") = shape));
    else
        matrix = o.csr_matrix(parts, nb::arg("shape") = shape);

    // The fitted state fit leaves, attribute by attribute, in its order.
    nb::object vectorizer = a.global("TfidfVectorizer")();
    nb::object transformer = o.TfidfTransformer(
        nb::arg("norm") = vectorizer.attr("norm"), nb::arg("use_idf") = vectorizer.attr("use_idf"),
        nb::arg("smooth_idf") = vectorizer.attr("smooth_idf"),
        nb::arg("sublinear_tf") = vectorizer.attr("sublinear_tf"));
    vectorizer.attr("_tfidf") = transformer;
    vectorizer.attr("fixed_vocabulary_") = nb::bool_(false);
    vectorizer.attr("_stop_words_id") =
        nb::steal(pyface::check(PyLong_FromVoidPtr(vectorizer.attr("stop_words").ptr())));
    vectorizer.attr("vocabulary_") = vocabulary;
    transformer.attr("n_features_in_") = nb::int_(n_cols);
    transformer.attr("idf_") = idf;
    check_in();
    return nb::make_tuple(vectorizer, matrix);
}

}  // namespace tfidf
