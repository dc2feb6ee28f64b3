// search_documents and correct_query. Each library step (difflib, the
// vectorizer's transform, cosine_similarity, the full sort) has a native
// stand-in with identical results that runs only while the library objects
// are the ones bound at import and the model is one it reproduces; any
// other case takes the library's own path.
#include "wrapper/core/tfidf_query.hpp"

#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "pyface/buffer_view.hpp"
#include "pyface/errors.hpp"
#include "pyface/original.hpp"
#include "pyface/pyops.hpp"
#include "pyface/unicode.hpp"
#include "wrapper/core/finder_common.hpp"
#include "wrapper/core/tfidf_state.hpp"
#include "wrapper/core/tfidf_support.hpp"
#include "wrapper_native/tfidf_model.hpp"

namespace wrapper::tfidf {

namespace {

using pyface::Args;

pyface::OriginalMethod g_correct_query("correct_query");

// re.findall(r"\w+", text)
std::vector<std::u32string> word_runs(std::u32string_view text) {
    const auto &cc = pyface::python_classes();
    std::vector<std::u32string> words;
    for (size_t i = 0; i < text.size();) {
        if (!cc.is_word(text[i])) {
            ++i;
            continue;
        }
        size_t e = i + 1;
        while (e < text.size() && cc.is_word(text[e])) ++e;
        words.emplace_back(text.substr(i, e - i));
        i = e;
    }
    return words;
}

// The range test get_close_matches makes before it looks at any term.
void check_cutoff(nb::handle cutoff) {
    nb::object zero = nb::float_(0.0), one = nb::float_(1.0);
    int ok = PyObject_RichCompareBool(zero.ptr(), cutoff.ptr(), Py_LE);
    if (ok == 1) ok = PyObject_RichCompareBool(cutoff.ptr(), one.ptr(), Py_LE);
    if (ok < 0) throw nb::python_error();
    if (ok == 0) {
        nb::object text = nb::steal(pyface::check(PyObject_Repr(cutoff.ptr())));
        pyface::raise_object(PyExc_ValueError,
                             pyface::concat("cutoff must be in [0.0, 1.0]: ", text));
    }
}

// The cut-off as a double, when difflib's comparisons with it are the
// comparisons of that double (floats, ints and bools in range).
bool native_cutoff(nb::handle cutoff, double &out) {
    if (PyFloat_Check(cutoff.ptr())) {
        out = PyFloat_AS_DOUBLE(cutoff.ptr());
        return true;
    }
    if (PyLong_Check(cutoff.ptr())) {
        // Out-of-range values fail the range test; 0 and 1 convert exactly.
        out = PyLong_AsDouble(cutoff.ptr());
        if (out == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    return false;
}

nb::object join_words(nb::handle words) {
    return nb::steal(pyface::check(PyUnicode_Join(nb::str(" ").ptr(), words.ptr())));
}

// Every word of the query replaced by its closest term, if any.
template <class Names>
nb::object correct_with(const std::u32string &query, const wrapper_native::CloseMatchIndex &index,
                        const Names &names, nb::handle cutoff_obj, double cutoff) {
    std::vector<std::u32string> words = word_runs(query);
    if (!words.empty()) check_cutoff(cutoff_obj);
    std::vector<std::optional<size_t>> best(words.size());
    {
        nb::gil_scoped_release unlocked;
        for (size_t k = 0; k < words.size(); ++k) best[k] = index.best(words[k], cutoff);
    }
    nb::list out;
    for (size_t k = 0; k < words.size(); ++k)
        out.append(best[k] ? nb::object(names[*best[k]]) : pyface::from_u32(words[k]));
    return join_words(out);
}

nb::object correct_with_difflib(const Args &a, nb::handle query, nb::handle corpus,
                                nb::handle cutoff) {
    nb::object words = a.global("re").attr("findall")("\\w+", query);
    nb::object get_close_matches = a.global("difflib").attr("get_close_matches");
    nb::list out;
    for (nb::handle word : words) {
        nb::object match = get_close_matches(word, corpus, nb::arg("n") = 1,
                                             nb::arg("cutoff") = cutoff);
        out.append(pyface::truthy(match) ? nb::object(match[0]) : nb::borrow(word));
    }
    return nb::str(" ").attr("join")(out);
}

// The library's get_close_matches and findall, which the native matcher
// reproduces.
bool difflib_is_pristine(const Args &a) {
    return pyface::all_pristine(a, {&originals().difflib, &originals().re});
}

// The terms of a corpus given to correct_query, with their index, kept for
// the next call, which reuses them when it lists the same str objects.
// Immutable: a call holds its own reference while the GIL is released.
struct CorpusIndex {
    std::vector<nb::object> items;
    wrapper_native::CloseMatchIndex index;
};
std::shared_ptr<const CorpusIndex> *g_corpus = nullptr;  // never destroyed

// Borrowed pointers to the corpus items, for sequences difflib can walk
// again for every word (lists, tuples, 1-d object arrays).
bool corpus_items(nb::handle corpus, std::vector<PyObject *> &items) {
    PyObject *c = corpus.ptr();
    if (PyList_CheckExact(c) || PyTuple_CheckExact(c)) {
        PyObject **p = PySequence_Fast_ITEMS(c);
        items.assign(p, p + PySequence_Fast_GET_SIZE(c));
        return true;
    }
    if (Py_TYPE(c) != reinterpret_cast<PyTypeObject *>(originals().numpy.attr("ndarray").ptr()))
        return false;
    const pyface::BufferView view(corpus);
    if (!view.is_vector_of("O", sizeof(PyObject *))) return false;
    auto *p = static_cast<PyObject *const *>(view.data());
    items.assign(p, p + view.size());
    return true;
}

// The index of these items (all str), or null when one is not a str.
std::shared_ptr<const CorpusIndex> corpus_index(const std::vector<PyObject *> &items) {
    if (g_corpus == nullptr) g_corpus = new std::shared_ptr<const CorpusIndex>();
    if (const auto &cached = *g_corpus) {
        bool same = cached->items.size() == items.size();
        for (size_t k = 0; same && k < items.size(); ++k) same = cached->items[k].ptr() == items[k];
        if (same) return cached;
    }
    std::vector<std::u32string> texts;
    texts.reserve(items.size());
    for (PyObject *item : items) {
        if (item == nullptr || !PyUnicode_Check(item)) return nullptr;
        texts.push_back(pyface::to_u32(item));
    }
    auto fresh = std::make_shared<CorpusIndex>();
    for (PyObject *item : items) fresh->items.push_back(nb::borrow(item));
    {
        nb::gil_scoped_release unlocked;
        fresh->index = wrapper_native::CloseMatchIndex(texts);
    }
    *g_corpus = fresh;
    return fresh;
}

std::vector<double> scores_natively(const SearchIndex &index, nb::handle corrected) {
    const std::u32string lowered = pyface::to_u32(nb::borrow(corrected).attr("lower")());
    std::vector<uint32_t> columns;
    wrapper_native::for_each_token(lowered, pyface::python_classes(),
                                   [&](std::u32string_view token) {
                                       const uint32_t c = index.column_of.find(token);
                                       if (c != wrapper_native::TermTable::kMissing)
                                           columns.push_back(c);
                                   });
    std::vector<double> scores(index.postings.rows());
    nb::gil_scoped_release unlocked;
    index.postings.score(wrapper_native::query_row(columns, index.idf.data()), scores.data());
    return scores;
}

// The live index's state, read-locked when it is still at the index's
// version and no fit holds it; the GIL must be released.
class LiveRead {
public:
    explicit LiveRead(const SearchIndex &index) : lock_(index.live->mutex, std::defer_lock) {
        ok_ = !index.live->writing && lock_.try_lock() && index.live->version == index.version;
    }
    bool ok() const { return ok_; }

private:
    std::shared_lock<std::shared_mutex> lock_;
    bool ok_ = false;
};

// correct_with on a live index: null when the state moved on.
nb::object correct_live(const SearchIndex &index, const std::u32string &query,
                        nb::handle cutoff_obj, double cutoff) {
    std::vector<std::u32string> words = word_runs(query);
    if (!words.empty()) check_cutoff(cutoff_obj);
    bool ok;
    {
        nb::gil_scoped_release unlocked;
        LiveRead read(index);
        ok = read.ok();
        const wrapper_native::IncrementalTfidf &model = index.live->model;
        for (size_t k = 0; ok && k < words.size(); ++k)
            if (auto best = model.matcher().best(words[k], cutoff))
                words[k] = std::u32string(model.terms().text(*best));
    }
    if (!ok) return nb::object();
    nb::list out;
    for (const auto &word : words) out.append(pyface::from_u32(word));
    return join_words(out);
}

// scores_natively on a live index: false when the state moved on.
bool scores_live(const SearchIndex &index, nb::handle corrected, std::vector<double> &scores) {
    const std::u32string lowered = pyface::to_u32(nb::borrow(corrected).attr("lower")());
    nb::gil_scoped_release unlocked;
    LiveRead read(index);
    if (!read.ok()) return false;
    const wrapper_native::IncrementalTfidf &model = index.live->model;
    std::vector<uint32_t> columns;
    wrapper_native::for_each_token(lowered, pyface::python_classes(),
                                   [&](std::u32string_view token) {
                                       const uint32_t t = model.terms().find(token);
                                       if (t == wrapper_native::TermTable::kMissing) return;
                                       const uint32_t c = model.column_of(t);
                                       if (c != wrapper_native::TermTable::kMissing)
                                           columns.push_back(c);
                                   });
    scores.assign(model.row_count(), 0.0);
    model.score(wrapper_native::query_row(columns, model.idf().data()), scores.data());
    return true;
}

}  // namespace

void set_correct_query_function(nb::handle function) {
    g_correct_query.capture(function);
}

nb::object correct_query(const Args &a) {
    nb::handle query = a[1], corpus = a[2], cutoff = a[3];
    double c;
    std::vector<PyObject *> items;
    if (difflib_is_pristine(a) && pyface::is_str(query) && native_cutoff(cutoff, c) &&
        corpus_items(corpus, items)) {
        if (auto prepared = corpus_index(items))
            return correct_with(pyface::to_u32(query), prepared->index, prepared->items,
                                cutoff, c);
    }
    return correct_with_difflib(a, query, corpus, cutoff);
}

nb::object search_documents(const Args &a) {
    nb::handle self = a[0], search_query = a[1];
    if (!pyface::truthy(self.attr("load_model")())) return nb::list();

    nb::object prepare = a.global("Cleanser").attr("preprocess_text_for_stemmetization");
    nb::object cleaned;
    if (pyface::truthy(a[6])) {
        nb::object language = nb::borrow(a[2]);
        if (!pyface::truthy(language))
            language = a.global("TongueProbe").attr("detect_lang")(search_query)[0];
        else if (pyface::is_str(language))
            // The pipeline front passes the language as its code.
            language = a.global("Tongue")(language);
        cleaned = prepare(search_query, language)[1];
    } else {
        // Documents compiled without language detection hold their words
        // unstemmed, stop words included: a query stemmed in any language
        // would miss them and be "corrected" into other words.
        cleaned = prepare(search_query)[1];
    }

    nb::object vectorizer = self.attr("tfidf_vectorizer");
    nb::object matrix = self.attr("tfidf_matrix");
    std::shared_ptr<const SearchIndex> index = search_index(self, vectorizer, matrix);

    nb::handle cutoff = a[5];
    nb::object corrected;
    double c;
    if (index && g_correct_query.is_pristine(self) && difflib_is_pristine(a) &&
        pyface::is_str(cleaned) && native_cutoff(cutoff, c)) {
        if (index->live) {
            corrected = correct_live(*index, pyface::to_u32(cleaned), cutoff, c);
            if (!corrected.is_valid()) index = search_index_from_arrays(self, vectorizer, matrix);
        }
        if (!corrected.is_valid() && index) {
            nb::list names = index->names;
            corrected = correct_with(pyface::to_u32(cleaned), index->terms, names, cutoff, c);
        }
    }
    if (!corrected.is_valid()) {
        corrected = self.attr("correct_query")(
            cleaned, vectorizer.attr("get_feature_names_out")(), cutoff);
    }

    std::vector<double> scores;
    bool scored = false;
    if (index && originals().cosine_similarity.is_pristine(a) &&
        PyUnicode_CheckExact(corrected.ptr())) {
        if (index->live && !scores_live(*index, corrected, scores))
            index = search_index_from_arrays(self, vectorizer, matrix);
        if (index && !index->live) scores = scores_natively(*index, corrected);
        scored = index != nullptr;
    }
    if (!scored) {
        nb::list one;
        one.append(corrected);
        nb::object vector = vectorizer.attr("transform")(one);
        nb::object similarity = a.global("cosine_similarity")(vector, matrix).attr("flatten")();
        nb::object flat = originals().numpy.attr("ascontiguousarray")(
            similarity, nb::arg("dtype") = originals().float64);
        Buffer values;
        if (!values.open(flat) || values.kind() != 'd')
            pyface::raise(PyExc_TypeError, "cosine_similarity gave no array of floats");
        const auto *v = static_cast<const double *>(values.data());
        scores.assign(v, v + values.size());
    }

    const auto [lo, hi] =
        finder_common::page_bounds(finder_common::page_slice(a[3], a[4]), scores.size());
    std::vector<size_t> page;
    if (hi > lo) page = wrapper_native::ranked_positive_slice(scores.data(), scores.size(), lo, hi);

    nb::list rows;
    nb::object names = self.attr("document_names");
    nb::object languages = self.attr("detected_languages");
    for (size_t position : page) {
        nb::object name = names[nb::int_(position)];
        nb::dict row;
        row["name"] = name;
        row[nb::str("Pontua\xc3\xa7\xc3\xa3o")] = originals().float64(scores[position]);
        row["language"] = languages[name];
        rows.append(row);
    }
    return nb::make_tuple(corrected, rows);
}

}  // namespace wrapper::tfidf
