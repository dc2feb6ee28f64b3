// wrapper.core.TfidfFinder: the TF-IDF search engine. Training adds one
// document at a time to a model kept in memory and rewrites the model file
// and its debug companion after each document; queries are corrected
// against the vocabulary, scored by cosine similarity and paged.
//
// Training: a failed training leaves the engine as it was (collections,
// model and flags restored), and both files are replaced whole, never
// truncated. Loading checks the file's keys before changing anything.
#include <nanobind/nanobind.h>

#include <optional>

#include "pyface/errors.hpp"
#include "pyface/files.hpp"
#include "pyface/module.hpp"
#include "pyface/pyops.hpp"
#include "wrapper/core/finder_common.hpp"
#include "wrapper/core/joblib_writer.hpp"
#include "wrapper/core/pickle_stream.hpp"
#include "wrapper/core/shared_model.hpp"
#include "wrapper/core/tfidf_query.hpp"
#include "wrapper/core/tfidf_state.hpp"
#include "wrapper/core/tfidf_support.hpp"

namespace nb = nanobind;
using pyface::Args;

namespace {

const char *const kModelKeys[] = {"matrix", "vectorizer", "document_names",
                                  "detected_languages", "cleaned_text"};

nb::object init(const Args &a) {
    nb::handle self = a[0], basepath = a[1];
    a.global("FinderBase").attr("__init__")(self);
    self.attr("is_loaded") = nb::bool_(false);
    self.attr("model_filename") = pyface::concat(basepath, "/td_model.pkl");
    self.attr("debug_model_filename") = pyface::concat(basepath, "/debug_td_model.json");
    self.attr("tfidf_vectorizer") = nb::none();
    self.attr("tfidf_matrix") = nb::none();
    self.attr("document_names") = nb::list();
    self.attr("detected_languages") = nb::dict();
    self.attr("cleaned_text") = nb::dict();
    return nb::none();
}

[[noreturn]] void raise_damaged(nb::handle path, nb::handle why) {
    nb::object message = pyface::concat(pyface::concat("The model file ", pyface::str(path)),
                                        " is no TF-IDF model: ");
    pyface::raise_object(PyExc_ValueError, pyface::add(message, why));
}

void check_collection(nb::handle path, const char *key, nb::handle value, PyTypeObject *kind) {
    if (PyObject_TypeCheck(value.ptr(), kind)) return;
    nb::object why = pyface::concat(std::string("'") + key + "' should be a " + kind->tp_name +
                                        ", not ",
                                    pyface::type_name(value));
    raise_damaged(path, why);
}

nb::object load_model(const Args &a) {
    nb::handle self = a[0];
    if (pyface::truthy(self.attr("is_loaded"))) return nb::bool_(true);
    nb::object path = self.attr("model_filename");
    const wrapper::shared_model::Stamp seen = wrapper::shared_model::stamp(self);
    nb::object data = wrapper::finder_common::read_model_file(a, path);
    if (pyface::truthy(data)) {
        // Every key and the kind of every collection are checked before
        // anything is replaced, so a file that is not a model of this
        // engine leaves the engine untouched.
        wrapper::finder_common::require_dict(data,
                                             [&](nb::handle why) { raise_damaged(path, why); });
        nb::list missing;
        for (const char *key : kModelKeys)
            if (!pyface::contains(data, nb::str(key))) missing.append(nb::str(key).attr("__repr__")());
        if (nb::len(missing) > 0) {
            nb::object message = pyface::concat(pyface::concat("The model file ", pyface::str(path)),
                                                nb::len(missing) == 1 ? " lacks the key "
                                                                      : " lacks the keys ");
            message = pyface::add(message, nb::str(", ").attr("join")(missing));
            pyface::raise_object(PyExc_ValueError, message);
        }
        std::vector<nb::object> values;
        for (const char *key : kModelKeys) values.push_back(data[key]);
        check_collection(path, "document_names", values[2], &PyList_Type);
        check_collection(path, "detected_languages", values[3], &PyDict_Type);
        check_collection(path, "cleaned_text", values[4], &PyDict_Type);
        const size_t n = nb::len(values[2]);
        if (nb::len(values[3]) != n || nb::len(values[4]) != n)
            raise_damaged(path, nb::str("it lists a different number of documents in "
                                        "'document_names', 'detected_languages' and "
                                        "'cleaned_text'"));
        self.attr("is_loaded") = nb::bool_(true);
        self.attr("tfidf_matrix") = values[0];
        self.attr("tfidf_vectorizer") = values[1];
        self.attr("document_names") = values[2];
        self.attr("detected_languages") = values[3];
        self.attr("cleaned_text") = values[4];
        wrapper::tfidf::adopt_loaded(a, self);
    }
    wrapper::shared_model::remember(self, seen);
    return self.attr("is_loaded");
}

void info(const Args &a, nb::handle message) { pyface::log(a, "info", message); }

// Step by step what happens to a document already in the collections:
// it leaves its place, with a log line for every collection it left.
void remove_document(const Args &a, nb::handle id, nb::handle names, nb::handle languages,
                     nb::handle cleaned) {
    if (pyface::contains(names, id)) {
        names.attr("remove")(id);
        info(a, nb::str("td--removed doc for document names"));
    }
    if (pyface::contains(languages, id)) {
        info(a, nb::str("keys"));
        nb::object keys = nb::steal(pyface::check(PySequence_List(languages.attr("keys")().ptr())));
        info(a, keys);
        nb::object position = keys.attr("index")(id);
        nb::object line = pyface::concat(pyface::concat("index ", pyface::str(position)), " for docid ");
        info(a, pyface::add(line, pyface::str(id)));
        languages.attr("__delitem__")(id);
        info(a, pyface::concat(pyface::concat("td--removed ", pyface::str(id)),
                               " to detected languages"));
    }
    if (pyface::contains(cleaned, id)) {
        cleaned.attr("__delitem__")(id);
        info(a, nb::str("td--deleted doc to cleaned text"));
    }
}

// (vectorizer, matrix) fitted on the cleaned texts: the native assembly
// when it applies, the library itself otherwise.
nb::object fit_as(const Args &a, nb::handle self, nb::handle doc, nb::handle cleaned, bool first) {
    nb::list keys, texts;
    nb::object fitted;
    if (first) {
        // The first model is fitted on this document's text alone.
        keys.append(doc.attr("id"));
        texts.append(doc.attr("cleaned_text"));
        fitted = wrapper::tfidf::fit_natively(a, self, keys, texts, true);
    } else if (PyDict_CheckExact(cleaned.ptr())) {
        // Read in place: no lists of 10^5 references made and dropped.
        fitted = wrapper::tfidf::fit_natively(a, self, cleaned, nb::handle(), false);
    } else {
        keys = nb::steal<nb::list>(pyface::check(PySequence_List(cleaned.attr("keys")().ptr())));
        texts = nb::steal<nb::list>(pyface::check(PySequence_List(cleaned.attr("values")().ptr())));
        fitted = wrapper::tfidf::fit_natively(a, self, keys, texts, false);
    }
    if (fitted.is_valid()) return fitted;
    if (!first && nb::len(texts) == 0)
        texts = nb::steal<nb::list>(pyface::check(PySequence_List(cleaned.attr("values")().ptr())));
    nb::object vectorizer = a.global("TfidfVectorizer")();
    nb::object matrix;
    if (first) {
        vectorizer.attr("fit")(texts);
        matrix = vectorizer.attr("transform")(texts);
    } else {
        matrix = vectorizer.attr("fit_transform")(texts);
    }
    return nb::make_tuple(vectorizer, matrix);
}

nb::object fit(const Args &a, nb::handle self, nb::handle doc, nb::handle cleaned) {
    return fit_as(a, self, doc, cleaned, self.attr("tfidf_vectorizer").is_none());
}

nb::object debug_document(nb::handle names, nb::handle languages) {
    nb::dict models;
    if (!PyDict_CheckExact(languages.ptr())) {
        for (nb::handle key : languages) {
            nb::object language = languages[key];
            models[key] = language.is_none() ? nb::none() : language.attr("value");
        }
        nb::dict dc;
        dc["multilang_models"] = models;
        dc["document_names"] = names;
        return dc;
    }
    // Documents share a handful of language objects: each code is asked once.
    std::vector<std::pair<PyObject *, nb::object>> codes;
    PyObject *id, *language;
    Py_ssize_t pos = 0;
    while (PyDict_Next(languages.ptr(), &pos, &id, &language)) {
        nb::object code;
        for (const auto &[known, value] : codes)
            if (known == language) code = value;
        if (!code.is_valid()) {
            code = language == Py_None ? nb::none() : nb::borrow(language).attr("value");
            if (codes.size() < 16) codes.emplace_back(language, code);
        }
        pyface::check_status(PyDict_SetItem(models.ptr(), id, code.ptr()));
    }
    nb::dict dc;
    dc["multilang_models"] = models;
    dc["document_names"] = names;
    return dc;
}

// Fails, before any file is touched, when the debug document is not
// something JSON can hold (an identifier of a kind JSON keys cannot be, a
// language code that is no JSON value): otherwise the model file would be
// replaced and the debug file then refused. Identifiers and codes that are
// plain str (or a None code) are known to serialise without trying.
void check_debug_document(nb::handle dc) {
    bool plain = true;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    nb::object models = dc["multilang_models"], names = dc["document_names"];
    while (plain && PyDict_Next(models.ptr(), &pos, &key, &value))
        plain = PyUnicode_CheckExact(key) && (value == Py_None || PyUnicode_CheckExact(value));
    for (nb::handle name : names) {
        if (!plain) break;
        plain = PyUnicode_CheckExact(name.ptr());
    }
    if (!plain) nb::module_::import_("json").attr("dumps")(dc);
}

// The collections as they were, to put back after a failure.
struct Snapshot {
    nb::object names, languages, cleaned;
    nb::object vectorizer, matrix, is_loaded;

    Snapshot(nb::handle self, nb::handle n, nb::handle l, nb::handle c)
        : names(nb::steal(pyface::check(PySequence_List(n.ptr())))),
          languages(nb::steal(pyface::check(PySequence_List(l.attr("items")().ptr())))),
          cleaned(nb::steal(pyface::check(PySequence_List(c.attr("items")().ptr())))),
          vectorizer(self.attr("tfidf_vectorizer")),
          matrix(self.attr("tfidf_matrix")),
          is_loaded(self.attr("is_loaded")) {}

    // Best effort, called with an error in flight: the error stays the
    // one the caller sees.
    void restore(nb::handle self, nb::handle n, nb::handle l, nb::handle c) const noexcept {
        try {
            pyface::check_status(PySequence_SetSlice(n.ptr(), 0, PY_SSIZE_T_MAX, names.ptr()));
            for (auto [mapping, items] : {std::pair<nb::handle, nb::handle>{l, languages},
                                          std::pair<nb::handle, nb::handle>{c, cleaned}}) {
                mapping.attr("clear")();
                mapping.attr("update")(items);
            }
            self.attr("tfidf_vectorizer") = vectorizer;
            self.attr("tfidf_matrix") = matrix;
            self.attr("is_loaded") = is_loaded;
        } catch (...) {
            PyErr_Clear();
        }
    }
};

// What training one document changes in the collections, to take back
// after a failure without copying them first: where the identifier stood
// in each (it moves last) and what it mapped to.
class DocumentUndo {
public:
    DocumentUndo(nb::handle self, nb::handle id, nb::handle n, nb::handle l, nb::handle c)
        : id_(nb::borrow(id)),
          vectorizer_(self.attr("tfidf_vectorizer")),
          matrix_(self.attr("tfidf_matrix")),
          is_loaded_(self.attr("is_loaded")) {
        name_index_ = PySequence_Index(n.ptr(), id.ptr());
        if (name_index_ < 0) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
            PyErr_Clear();
        }
        languages_ = Entry::of(l, id);
        cleaned_ = Entry::of(c, id);
    }

    // Best effort, called with an error in flight: the error stays the
    // one the caller sees.
    void restore(nb::handle self, nb::handle n, nb::handle l, nb::handle c) const noexcept {
        try {
            const Py_ssize_t size = PyList_Check(n.ptr()) ? PyList_GET_SIZE(n.ptr()) : -1;
            if (size > 0 && pyface::equals(nb::borrow(PyList_GET_ITEM(n.ptr(), size - 1)), id_))
                pyface::check_status(PyList_SetSlice(n.ptr(), size - 1, size, nullptr));
            if (name_index_ >= 0)
                pyface::check_status(PyList_Insert(n.ptr(), name_index_, id_.ptr()));
            languages_.restore(l, id_);
            cleaned_.restore(c, id_);
            self.attr("tfidf_vectorizer") = vectorizer_;
            self.attr("tfidf_matrix") = matrix_;
            self.attr("is_loaded") = is_loaded_;
        } catch (...) {
            PyErr_Clear();
        }
    }

private:
    struct Entry {
        Py_ssize_t position = -1;  // -1: the key was absent
        nb::object value;

        static Entry of(nb::handle mapping, nb::handle key) {
            Entry e;
            if (!pyface::contains(mapping, key)) return e;
            e.value = mapping[key];
            Py_ssize_t k = 0;
            for (nb::handle other : mapping) {
                if (pyface::equals(other, key)) break;
                ++k;
            }
            e.position = k;
            return e;
        }

        // The key back in its place: the mapping is rebuilt in order, which
        // costs a pass only on this failure path.
        void restore(nb::handle mapping, nb::handle key) const {
            if (pyface::contains(mapping, key)) mapping.attr("__delitem__")(key);
            if (position < 0) return;
            nb::list items = nb::steal<nb::list>(
                pyface::check(PySequence_List(mapping.attr("items")().ptr())));
            pyface::check_status(
                PyList_Insert(items.ptr(), position, nb::make_tuple(key, value).ptr()));
            mapping.attr("clear")();
            mapping.attr("update")(items);
        }
    };

    nb::object id_, vectorizer_, matrix_, is_loaded_;
    Py_ssize_t name_index_ = -1;
    Entry languages_, cleaned_;
};

// Replaces the model file with the engine's model and collections (the
// five keys, in the file's order) and records the write for the check of
// other writers.
void write_model_file(const Args &a, nb::handle self, nb::handle names, nb::handle languages,
                      nb::handle cleaned) {
    nb::dict model_data;
    model_data["matrix"] = self.attr("tfidf_matrix");
    model_data["vectorizer"] = self.attr("tfidf_vectorizer");
    model_data["document_names"] = names;
    model_data["detected_languages"] = languages;
    model_data["cleaned_text"] = cleaned;
    // The kept vocabulary is taken for the write: a second thread writing
    // meanwhile pickles it afresh instead of sharing it.
    using wrapper::tfidf::EngineCache, wrapper::tfidf::engine_cache;
    EngineCache *cache = engine_cache(self);
    std::shared_ptr<wrapper::model_file::KeptItems> kept;
    if (cache != nullptr) kept = std::move(cache->vocabulary_pickle);
    if (!kept) kept = std::make_shared<wrapper::model_file::KeptItems>();
    pyface::atomic_replace(self.attr("model_filename"), [&](nb::handle tmp) {
        wrapper::tfidf::joblib_dump(a, model_data, tmp, kept.get());
    });
    if (EngineCache *c = engine_cache(self)) c->vocabulary_pickle = std::move(kept);
    wrapper::shared_model::written(self);
}

nb::object train_model(const Args &a) {
    nb::handle self = a[0], doc = a[1];
    if (doc.is_none() || !pyface::truthy(doc.attr("text"))) return nb::none();
    nb::object id = doc.attr("id");
    if (pyface::contains(self.attr("document_names"), id)) return nb::none();
    const wrapper::shared_model::Training training(a, self);
    self.attr("load_model")();

    nb::object names = self.attr("document_names");
    nb::object languages = self.attr("detected_languages");
    nb::object cleaned = self.attr("cleaned_text");
    const DocumentUndo before(self, id, names, languages, cleaned);
    nb::object dc;
    try {
        remove_document(a, id, names, languages, cleaned);
        names.attr("append")(id);
        languages[id] = doc.attr("detected_language");
        cleaned[id] = doc.attr("cleaned_text");

        nb::object fitted = fit(a, self, doc, cleaned);
        // Built and checked before any file is touched: a language without
        // a code, or a value JSON cannot hold, fails here, not between the
        // two writes.
        dc = debug_document(names, languages);
        check_debug_document(dc);
        self.attr("tfidf_vectorizer") = fitted[0];
        self.attr("tfidf_matrix") = fitted[1];
        self.attr("is_loaded") = nb::bool_(true);

        write_model_file(a, self, names, languages, cleaned);
    } catch (...) {
        // A Python error in flight is held by the exception object, so the
        // restoring calls run with a clear error indicator.
        before.restore(self, names, languages, cleaned);
        throw;
    }
    // The model file is replaced: the document is trained, and the engine
    // keeps it whatever happens to the debug file (a failure to write that
    // still reaches the caller; the next training writes it again).
    a.global("FinderBase").attr("save_debug_json")(self, dc, self.attr("debug_model_filename"));
    return nb::none();
}

// Several documents trained as train_model would train them one after the
// other (same guards, log lines and replacements), fitted and written once
// at the end. All or nothing: a document that would fail its training
// leaves the engine and both files as they were before the batch.
nb::object train_models(const Args &a) {
    nb::handle self = a[0];
    nb::object records = nb::steal(pyface::check(PySequence_List(a[1].ptr())));
    std::optional<Snapshot> before;
    // Taken before the first document that is trained: one lock, and one
    // merge of what other processes trained, for the whole batch.
    std::optional<wrapper::shared_model::Training> training;
    nb::object names, languages, cleaned, last_doc;
    bool have_vectorizer = false, last_first = false, fitted = true;
    size_t not_str = 0;  // texts the native fit cannot take
    try {
        for (nb::handle doc : records) {
            if (doc.is_none() || !pyface::truthy(doc.attr("text"))) continue;
            nb::object id = doc.attr("id");
            if (pyface::contains(self.attr("document_names"), id)) continue;
            if (!training) training.emplace(a, self);
            self.attr("load_model")();
            if (!before) {
                names = self.attr("document_names");
                languages = self.attr("detected_languages");
                cleaned = self.attr("cleaned_text");
                before.emplace(self, names, languages, cleaned);
                have_vectorizer = !self.attr("tfidf_vectorizer").is_none();
                for (nb::handle text : cleaned.attr("values")())
                    not_str += PyUnicode_CheckExact(text.ptr()) ? 0 : 1;
            }
            if (pyface::contains(cleaned, id) &&
                !PyUnicode_CheckExact(nb::object(cleaned[id]).ptr()))
                --not_str;
            remove_document(a, id, names, languages, cleaned);
            names.attr("append")(id);
            languages[id] = doc.attr("detected_language");
            cleaned[id] = doc.attr("cleaned_text");
            nb::object text = cleaned[id];
            not_str += PyUnicode_CheckExact(text.ptr()) ? 0 : 1;

            // What this document's training would refuse: its debug entry,
            nb::dict own_language;
            own_language[id] = languages[id];
            nb::list own_name;
            own_name.append(id);
            check_debug_document(debug_document(own_name, own_language));
            // and its fit. The native fit can only fail on an empty
            // vocabulary, which is told without fitting; the library is
            // asked at every step, as the loop would.
            const bool first = !have_vectorizer;
            if (not_str == 0 && wrapper::tfidf::native_fit_applies(a)) {
                bool any = wrapper::tfidf::holds_term(text);
                if (!any && !first)
                    for (nb::handle other : cleaned.attr("values")())
                        if ((any = wrapper::tfidf::holds_term(other))) break;
                if (!any)
                    pyface::raise(PyExc_ValueError,
                                  "empty vocabulary; perhaps the documents only contain stop words");
                fitted = false;
            } else {
                nb::object model = fit_as(a, self, doc, cleaned, first);
                self.attr("tfidf_vectorizer") = model[0];
                self.attr("tfidf_matrix") = model[1];
                fitted = true;
            }
            have_vectorizer = true;
            last_doc = nb::borrow(doc);
            last_first = first;
            self.attr("is_loaded") = nb::bool_(true);
        }
        if (!before) return nb::none();
        if (!fitted) {
            nb::object model = fit_as(a, self, last_doc, cleaned, last_first);
            self.attr("tfidf_vectorizer") = model[0];
            self.attr("tfidf_matrix") = model[1];
        }
    } catch (...) {
        if (before) before->restore(self, names, languages, cleaned);
        throw;
    }
    nb::object dc;
    try {
        dc = debug_document(names, languages);
        check_debug_document(dc);
        write_model_file(a, self, names, languages, cleaned);
    } catch (...) {
        before->restore(self, names, languages, cleaned);
        throw;
    }
    a.global("FinderBase").attr("save_debug_json")(self, dc, self.attr("debug_model_filename"));
    return nb::none();
}

// Another process may have trained since this engine last read the model.
nb::object search_documents(const Args &a) {
    wrapper::shared_model::refresh(a, a[0]);
    return wrapper::tfidf::search_documents(a);
}

}  // namespace

NB_MODULE(TfidfFinder, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_module("os");
    mod.import_module("re");
    mod.import_module("difflib");
    mod.import_module("logging");
    mod.import_module("joblib");
    mod.import_module("numpy", "np");
    mod.import_from("scipy", {"sparse"});
    mod.import_from("sklearn.feature_extraction.text", {"TfidfVectorizer"});
    mod.import_from("sklearn.metrics.pairwise", {"cosine_similarity"});
    mod.import_from("..infra", {"Cleanser"});
    mod.import_from(".File", {"File"});
    mod.import_from("..infra", {"TongueProbe"});
    mod.import_from(".FinderBase", {"FinderBase"});
    mod.import_from("..infra.Tongue", {"Tongue"});
    wrapper::tfidf::init_originals(mod.globals());
    wrapper::tfidf::init_joblib_writer(mod.globals());

    nb::object base = nb::borrow(mod.globals()["FinderBase"]);
    nb::object cls =
        pyface::ClassBuilder(mod, "TfidfFinder", nb::make_tuple(base))
            .method("__init__", {"self", "basepath"}, init)
            .method("load_model", {"self"}, load_model)
            .method("train_model", {"self", "doc"}, train_model)
            .method("train_models", {"self", "records"}, train_models)
            .method("search_documents",
                    {"self", "search_query", {"detected_search_language", nb::none()},
                     {"page", 1}, {"results_per_page", 10}, {"cutoff_for_fix_query", 0.9},
                     {"prepare_with_language", true}},
                    search_documents)
            .method("correct_query", {"self", "query", "corpus", {"cutoff", 0.6}},
                    wrapper::tfidf::correct_query)
            .build();
    wrapper::tfidf::set_correct_query_function(cls.attr("__dict__")["correct_query"]);
}
