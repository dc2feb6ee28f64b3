#include "wrapper/core/tfidf_layout.hpp"

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "pyface/errors.hpp"
#include "pyface/pyops.hpp"
#include "wrapper/core/tfidf_support.hpp"

namespace wrapper::tfidf {

namespace {

// What each attribute of a fitted object holds.
enum class Slot { Constant, Vocabulary, Transformer, Idf, Features, Data, Indices, Indptr, Shape };

struct ObjectLayout {
    nb::object type;
    std::vector<std::pair<nb::object, Slot>> slots;  // attribute name and kind, in order
    std::vector<nb::object> constants;               // the value of each Constant slot
};

}  // namespace

struct FitLayout {
    ObjectLayout vectorizer, transformer, matrix;
    std::string index_dtype;
};

namespace {

// Values that do not depend on the texts and can be shared between objects
// as they are: the settings (str, numbers, None, classes, tuples of these)
// and identifiers that are the same for every fit in this process.
bool is_constant(nb::handle v) {
    PyObject *o = v.ptr();
    if (o == Py_None || PyBool_Check(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) ||
        PyUnicode_CheckExact(o) || PyType_Check(o))
        return true;
    if (PyTuple_CheckExact(o)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i)
            if (!is_constant(PyTuple_GET_ITEM(o, i))) return false;
        return true;
    }
    return false;
}

nb::object own_dict(nb::handle obj) {
    PyObject *dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (dict == nullptr) throw nb::python_error();
    return nb::steal(dict);
}

void add_constant(ObjectLayout &layout, nb::handle key, nb::handle value) {
    layout.slots.emplace_back(nb::borrow(key), Slot::Constant);
    layout.constants.push_back(nb::borrow(value));
}

// The documented fitted attributes are found by what they hold: the
// vocabulary_ dict, the idf_ array, n_features_in_; every other attribute
// must be a constant.
bool derive_transformer(nb::handle t, ObjectLayout &layout) {
    layout.type = nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(t.ptr())));
    nb::object idf = nb::getattr(t, "idf_", nb::none());
    for (auto [key, value] : nb::borrow<nb::dict>(own_dict(t))) {
        if (value.is(idf) && !idf.is_none())
            layout.slots.emplace_back(nb::borrow(key), Slot::Idf);
        else if (pyface::equals(key, nb::str("n_features_in_")))
            layout.slots.emplace_back(nb::borrow(key), Slot::Features);
        else if (is_constant(value))
            add_constant(layout, key, value);
        else
            return false;
    }
    return true;
}

bool derive_vectorizer(nb::handle v, FitLayout &layout) {
    layout.vectorizer.type = nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(v.ptr())));
    nb::object vocabulary = v.attr("vocabulary_");
    bool transformer_seen = false;
    for (auto [key, value] : nb::borrow<nb::dict>(own_dict(v))) {
        if (value.is(vocabulary)) {
            layout.vectorizer.slots.emplace_back(nb::borrow(key), Slot::Vocabulary);
        } else if (is_constant(value)) {
            add_constant(layout.vectorizer, key, value);
        } else if (!transformer_seen && nb::hasattr(value, "idf_") && nb::hasattr(value, "__dict__")) {
            if (!derive_transformer(value, layout.transformer)) return false;
            transformer_seen = true;
            layout.vectorizer.slots.emplace_back(nb::borrow(key), Slot::Transformer);
        } else {
            return false;
        }
    }
    return true;
}

bool derive_matrix(nb::handle m, FitLayout &layout) {
    layout.matrix.type = nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(m.ptr())));
    nb::object data = m.attr("data"), indices = m.attr("indices"), indptr = m.attr("indptr");
    nb::object shape = m.attr("shape");
    const std::string index_dtype = nb::cast<std::string>(indices.attr("dtype").attr("name"));
    if (index_dtype != nb::cast<std::string>(indptr.attr("dtype").attr("name")) ||
        (index_dtype != "int32" && index_dtype != "int64") ||
        nb::cast<std::string>(data.attr("dtype").attr("name")) != "float64")
        return false;
    layout.index_dtype = index_dtype;
    for (auto [key, value] : nb::borrow<nb::dict>(own_dict(m))) {
        Slot slot = Slot::Constant;
        if (value.is(data))
            slot = Slot::Data;
        else if (value.is(indices))
            slot = Slot::Indices;
        else if (value.is(indptr))
            slot = Slot::Indptr;
        else if (PyTuple_CheckExact(value.ptr()) && pyface::equals(value, shape))
            slot = Slot::Shape;
        else if (!is_constant(value))
            return false;
        if (slot == Slot::Constant)
            add_constant(layout.matrix, key, value);
        else
            layout.matrix.slots.emplace_back(nb::borrow(key), slot);
    }
    return true;
}

nb::object fit_by_library(nb::handle texts, bool single_text) {
    nb::object vectorizer = originals().TfidfVectorizer();
    nb::object matrix;
    if (single_text) {
        vectorizer.attr("fit")(texts);
        matrix = vectorizer.attr("transform")(texts);
    } else {
        matrix = vectorizer.attr("fit_transform")(texts);
    }
    return nb::make_tuple(vectorizer, matrix);
}

nb::list text_list(std::initializer_list<const char *> texts) {
    nb::list out;
    for (const char *t : texts) out.append(nb::str(t));
    return out;
}

// Corpora whose fits differ in every way the objects can: unsorted and
// sorted column indices, an all-zero row, non-ASCII terms, repeated terms.
std::vector<nb::list> probe_corpora(bool single_text) {
    if (single_text)
        return {text_list({"zeta alpha beta alpha 2024"}),
                text_list({"ação ação naïve b2 b2 b2 Straße"})};
    std::vector<nb::list> corpora = {
        text_list({"casa dados ação casa", "dados zeta a1 casa", "x y",
                   "Straße İstanbul ΟΔΟΣ 中文 naïve zeta"})};
    const char *words[] = {"casa", "dados", "modelo", "busca", "texto", "ação", "zeta", "a1"};
    nb::list many;
    unsigned state = 7;
    for (int d = 0; d < 40; ++d) {
        std::string text;
        for (int w = 0; w < 1 + d % 9; ++w) {
            state = state * 1103515245u + 12345u;
            text += std::string(words[(state >> 16) % 8]) + " ";
        }
        many.append(nb::str(text.c_str()));
    }
    corpora.push_back(many);
    return corpora;
}

struct Entry {
    FitLayout layout;
    int status = 0;  // 0 new, 1 being checked, 2 trusted, 3 refused
};
std::map<std::string, Entry> *g_layouts = nullptr;  // by configuration and path

bool same_pickle(nb::handle a, nb::handle b) {
    nb::object dumps = nb::module_::import_("pickle").attr("dumps");
    return pyface::equals(dumps(a), dumps(b));
}

}  // namespace

const FitLayout *fit_layout(bool single_text, const NativeFit &native_fit) {
    if (g_layouts == nullptr) g_layouts = new std::map<std::string, Entry>();
    // The library's configuration can change what fit returns (and is
    // per thread): a layout is kept for each configuration seen.
    nb::object config = originals().sklearn_get_config();
    nb::object items = nb::module_::import_("builtins").attr("sorted")(config.attr("items")());
    const std::string key = nb::cast<std::string>(nb::repr(items)) + (single_text ? "/1" : "/n");
    Entry &entry = (*g_layouts)[key];
    if (entry.status == 2 || entry.status == 1) return &entry.layout;
    if (entry.status == 3) return nullptr;
    entry.status = 3;
    try {
        nb::object fitted = fit_by_library(
            single_text ? text_list({"alpha beta"}) : text_list({"alpha beta", "beta gamma delta"}),
            single_text);
        FitLayout layout;
        if (!derive_vectorizer(fitted[0], layout) || !layout.transformer.type.is_valid() ||
            !derive_matrix(fitted[1], layout))
            return nullptr;
        entry.layout = std::move(layout);
        entry.status = 1;
        for (const nb::list &texts : probe_corpora(single_text)) {
            nb::object native = native_fit(texts, single_text);
            if (!native.is_valid() || !same_pickle(native, fit_by_library(texts, single_text))) {
                entry.status = 3;
                return nullptr;
            }
        }
        entry.status = 2;
        return &entry.layout;
    } catch (nb::python_error &e) {
        if (pyface::is_stop_request(e)) {
            entry.status = 0;  // interrupted, not refused: checked again next time
            throw;
        }
        entry.status = 3;  // the library path will raise it again if it matters
        return nullptr;
    }
}

const char *small_index_dtype(const FitLayout &layout) {
    return layout.index_dtype == "int64" ? "int64" : "int32";
}

namespace {

nb::object build(const ObjectLayout &layout, const std::function<nb::object(Slot)> &value_of) {
    nb::object obj = layout.type.attr("__new__")(layout.type);
    nb::object dict = own_dict(obj);
    size_t constant = 0;
    for (const auto &[key, slot] : layout.slots) {
        nb::object value = slot == Slot::Constant ? layout.constants[constant++] : value_of(slot);
        pyface::check_status(PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()));
    }
    return obj;
}

}  // namespace

nb::object assemble(const FitLayout &layout, nb::handle vocabulary, nb::handle idf,
                    nb::handle data, nb::handle indices, nb::handle indptr, size_t n_rows,
                    size_t n_cols) {
    nb::object transformer = build(layout.transformer, [&](Slot slot) -> nb::object {
        if (slot == Slot::Idf) return nb::borrow(idf);
        return nb::int_(n_cols);  // Features
    });
    nb::object vectorizer = build(layout.vectorizer, [&](Slot slot) -> nb::object {
        if (slot == Slot::Vocabulary) return nb::borrow(vocabulary);
        return transformer;
    });
    nb::object matrix = build(layout.matrix, [&](Slot slot) -> nb::object {
        switch (slot) {
        case Slot::Data: return nb::borrow(data);
        case Slot::Indices: return nb::borrow(indices);
        case Slot::Indptr: return nb::borrow(indptr);
        default: return nb::make_tuple(n_rows, n_cols);
        }
    });
    return nb::make_tuple(vectorizer, matrix);
}

}  // namespace wrapper::tfidf
