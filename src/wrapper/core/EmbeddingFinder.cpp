// wrapper.core.EmbeddingFinder: the sentence-embedding search engine. One
// model and one list of (identifier, embedding) per key: a language code in
// per-language mode, "main" in single-model mode.
#include <nanobind/nanobind.h>

#include <string>
#include <utility>
#include <vector>

#include "pyface/buffer_view.hpp"
#include "pyface/errors.hpp"
#include "pyface/files.hpp"
#include "pyface/module.hpp"
#include "pyface/original.hpp"
#include "pyface/pyops.hpp"
#include "wrapper/core/embedding_file.hpp"
#include "wrapper/core/finder_common.hpp"
#include "wrapper/core/embedding_matrix.hpp"
#include "wrapper/core/shared_model.hpp"
#include "wrapper_native/score_page.hpp"

namespace nb = nanobind;
using pyface::Args;

namespace {

// NumPy as bound at import, so the native path is taken only while the
// module's `np` (and the two functions it uses) are still the real ones.
pyface::OriginalGlobal g_numpy("np", {"inner", "argsort"});

const char *const kModelFileKeys[] = {"multilang_models", "embedded_documents",
                                      "document_names"};

// The model of a key. Single-model mode serves "main" with the multilingual
// model (the one the language table gives Spanish and every language it
// does not list), since the documents of that mode may be in any language.
nb::object model_for_key(const Args &a, nb::handle self, nb::handle key) {
    nb::object tongue = a.global("Tongue");
    nb::object language = pyface::equals(key, self.attr("model_main"))
                              ? tongue.attr("SPANISH")
                              : tongue.attr("get_language_from_nltk_language")(key);
    return a.global("EmbeddingEncoder")(self.attr("base_path"), language).attr("model");
}

void mirror_all(nb::handle self) {
    wrapper::embedding_matrix::forget(self);
    nb::object embedded = self.attr("embedded_documents");
    if (!PyDict_Check(embedded.ptr())) return;
    nb::dict by_key = nb::borrow<nb::dict>(embedded);
    for (auto [key, embeddings] : by_key) wrapper::embedding_matrix::mirror(self, key, embeddings);
}

nb::object init(const Args &a) {
    nb::handle self = a[0];
    a.global("FinderBase").attr("__init__")(self);
    self.attr("is_loaded") = nb::bool_(false);
    self.attr("base_path") = a[1];
    self.attr("model_filename") = pyface::concat(self.attr("base_path"), "/sb_model.pkl");
    self.attr("debug_model_filename") =
        pyface::concat(self.attr("base_path"), "/debug_sb_model.json");
    self.attr("multilang_models") = nb::dict();
    self.attr("embedded_documents") = nb::dict();
    self.attr("document_names") = nb::dict();
    self.attr("supported_languages") = a[2];
    self.attr("load_model")();
    return nb::none();
}

nb::object load_model(const Args &a) {
    nb::handle self = a[0];
    if (pyface::truthy(self.attr("is_loaded"))) return nb::bool_(true);
    // Held so that of engines racing on a new directory one sets it up and
    // the others read what it wrote.
    const wrapper::shared_model::DirectoryLock lock(a, self, true);
    const wrapper::shared_model::Stamp seen = wrapper::shared_model::stamp(self);
    nb::object filename = self.attr("model_filename");
    nb::object data = wrapper::finder_common::read_model_file(a, filename);
    if (pyface::truthy(data)) {
        // Every part is read and checked before any is kept: a damaged
        // file leaves the engine as it was.
        auto invalid = [&](nb::handle why) {
            nb::object message = pyface::concat(
                pyface::concat("Invalid embedding model file ", pyface::format(filename)), ": ");
            pyface::raise_object(PyExc_ValueError, pyface::add(message, why));
        };
        wrapper::finder_common::require_dict(data, invalid);
        std::vector<nb::object> parts;
        for (const char *key : kModelFileKeys) {
            if (!pyface::contains(data, nb::str(key)))
                invalid(nb::str((std::string("no key \"") + key + "\"").c_str()));
            nb::object part = data[key];
            if (!PyDict_Check(part.ptr()))
                invalid(pyface::concat(std::string("\"") + key + "\" should be a dict, not ",
                                       pyface::type_name(part)));
            parts.push_back(part);
        }
        self.attr("embedded_documents") = parts[1];
        self.attr("document_names") = parts[2];
        self.attr("multilang_models") = parts[0];
        mirror_all(self);
        wrapper::shared_model::remember(self, seen);
    } else {
        if (pyface::truthy(self.attr("supported_languages"))) {
            nb::object tongue = a.global("Tongue");
            nb::object table = tongue.attr("nltk_languages").attr("value");
            pyface::log(a, "debug", pyface::concat("doc language type ", pyface::format(tongue)));
            nb::object table_text = pyface::format(table);
            pyface::log(a, "debug",
                        pyface::add(pyface::concat(pyface::concat("doc language nltk_languages ",
                                                                  table_text),
                                                   " "),
                                    table_text));
            for (nb::handle code : table) {
                pyface::log(a, "debug",
                            pyface::concat("loading model for language ", pyface::format(code)));
                self.attr("multilang_models")[code] = model_for_key(a, self, code);
                self.attr("document_names")[code] = nb::list();
                self.attr("embedded_documents")[code] = nb::list();
            }
        }
        self.attr("save_model")();
    }
    self.attr("is_loaded") = nb::bool_(true);
    return self.attr("is_loaded");
}

nb::object save_model(const Args &a) {
    nb::handle self = a[0];
    const wrapper::shared_model::DirectoryLock lock(a, self);
    nb::dict model;
    model["multilang_models"] = self.attr("multilang_models");
    model["embedded_documents"] = self.attr("embedded_documents");
    model["document_names"] = self.attr("document_names");
    pyface::atomic_replace(self.attr("model_filename"), [&](nb::handle tmp) {
        wrapper::embedding_file::write(a, self, model, tmp);
    });
    wrapper::shared_model::written(self);
    nb::dict debug;
    debug["document_names"] = self.attr("document_names");
    self.attr("save_debug_json")(debug, self.attr("debug_model_filename"));
    self.attr("is_loaded") = nb::bool_(true);
    return nb::none();
}

// Per-language mode: the translation target when the record was translated,
// otherwise its detected language.
nb::object language_key(nb::handle doc) {
    nb::object target = doc.attr("translate_to");
    if (pyface::truthy(target)) return target.attr("value");
    return doc.attr("detected_language").attr("value");
}

// What training one document added to the index, so that a call failing
// after it (the files could not be written) can take it back and leave the
// engine as it was.
struct Indexed {
    nb::object key, model, names, embeddings, id, embedding;
    bool new_key = false;

    // Best effort, called with an error in flight: the error stays the one
    // the caller sees. Only what this call added is removed.
    void take_back(nb::handle self) const noexcept {
        if (!key.is_valid()) return;
        try {
            if (new_key) {
                const std::pair<const char *, nb::handle> added[] = {
                    {"multilang_models", model},
                    {"document_names", names},
                    {"embedded_documents", embeddings}};
                for (const auto &[attr, value] : added) {
                    nb::object mapping = self.attr(attr);
                    if (!PyDict_Check(mapping.ptr())) continue;
                    PyObject *current = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
                    if (current == nullptr && PyErr_Occurred()) throw nb::python_error();
                    if (current == value.ptr())
                        pyface::check_status(PyDict_DelItem(mapping.ptr(), key.ptr()));
                }
            } else {
                drop_last(names, id);
                drop_last(embeddings, embedding);
            }
        } catch (...) {
            PyErr_Clear();
        }
    }

private:
    static void drop_last(nb::handle list, nb::handle item) {
        if (!PyList_Check(list.ptr())) return;
        const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
        if (n > 0 && PyList_GET_ITEM(list.ptr(), n - 1) == item.ptr())
            pyface::check_status(PyList_SetSlice(list.ptr(), n - 1, n, nullptr));
    }
};

Indexed index_document(const Args &a, nb::handle self, nb::handle doc, nb::handle key) {
    self.attr("load_model")();
    nb::object models = self.attr("multilang_models");
    Indexed added;
    added.new_key = !pyface::contains(models, key);
    added.model = added.new_key ? model_for_key(a, self, key) : nb::object(models[key]);
    // The embedding comes first: if it fails, nothing of this document (nor
    // a new key) is in the index, and names and embeddings stay in step.
    added.embedding =
        added.model.attr("encode")(doc.attr("text"), nb::arg("convert_to_tensor") = true);
    added.id = doc.attr("id");
    if (added.new_key) {
        models[key] = added.model;
        self.attr("document_names")[key] = nb::list();
        self.attr("embedded_documents")[key] = nb::list();
    }
    added.names = self.attr("document_names")[key];
    added.embeddings = self.attr("embedded_documents")[key];
    added.embeddings.attr("append")(added.embedding);
    added.names.attr("append")(added.id);
    added.key = nb::borrow(key);
    wrapper::embedding_matrix::mirror(self, key, added.embeddings);
    return added;
}

// Which file a path names now: a replacement by rename is another inode.
// None when there is none (or it cannot be looked at).
nb::object file_identity(nb::handle path) {
    try {
        nb::object st = nb::module_::import_("os").attr("stat")(path);
        return nb::make_tuple(st.attr("st_dev"), st.attr("st_ino"), st.attr("st_mtime_ns"));
    } catch (nb::python_error &e) {
        if (pyface::is_stop_request(e)) throw;
        return nb::none();
    }
}

// Indexes `doc` unless it is None, has no text, or its identifier is listed
// already under its language; returns what was added (nothing when it was
// skipped), for taking it back.
Indexed index_if_new(const Args &a, nb::handle self, nb::handle doc) {
    if (!pyface::truthy(doc)) return Indexed();
    nb::object key = pyface::truthy(self.attr("supported_languages"))
                         ? language_key(doc)
                         : nb::object(self.attr("model_main"));
    nb::object names = self.attr("document_names");
    const bool listed =
        pyface::contains(names, key) && pyface::contains(names[key], doc.attr("id"));
    if (listed || !pyface::truthy(doc.attr("text"))) return Indexed();
    return index_document(a, self, doc, key);
}

nb::object train_model(const Args &a) {
    nb::handle self = a[0];
    nb::handle doc = a[1];
    const wrapper::shared_model::Training training(a, self);
    Indexed added;
    // Without a document there is no key to compute; the files are still
    // rewritten, as for every other skipped document.
    added = index_if_new(a, self, doc);
    const nb::object model_file = file_identity(self.attr("model_filename"));
    try {
        self.attr("save_model")();
    } catch (...) {
        // A document that is not on disk is not in the index either: the
        // caller sees the error and can train it again. Once the model file
        // was replaced (only the debug file failed), the document is on
        // disk and stays.
        if (pyface::equals(file_identity(self.attr("model_filename")), model_file))
            added.take_back(self);
        throw;
    }
    return nb::none();
}

// Several documents indexed as train_model would index them one after the
// other, with the files written once at the end. All or nothing: when a
// document fails, or the files cannot be written, every document of the
// batch is taken back and the previous files stay.
nb::object train_models(const Args &a) {
    nb::handle self = a[0];
    nb::object records = nb::steal(pyface::check(PySequence_List(a[1].ptr())));
    if (nb::len(records) == 0) return nb::none();
    // One lock, and one merge of what other processes trained, for the batch.
    const wrapper::shared_model::Training training(a, self);
    std::vector<Indexed> added;
    auto take_back = [&] {
        for (auto it = added.rbegin(); it != added.rend(); ++it) it->take_back(self);
    };
    try {
        for (nb::handle doc : records) added.push_back(index_if_new(a, self, doc));
    } catch (...) {
        take_back();
        throw;
    }
    const nb::object model_file = file_identity(self.attr("model_filename"));
    try {
        self.attr("save_model")();
    } catch (...) {
        if (pyface::equals(file_identity(self.attr("model_filename")), model_file)) take_back();
        throw;
    }
    return nb::none();
}

// ---- search ---------------------------------------------------------------

nb::object scores_of(const Args &a, nb::handle self, nb::handle key, bool native,
                     nb::handle query_embedding, nb::handle embeddings) {
    nb::object np = a.global("np");
    if (native) {
        nb::object matrix = wrapper::embedding_matrix::mirror(self, key, embeddings);
        if (matrix.is_valid()) {
            nb::object query = wrapper::embedding_matrix::as_array(query_embedding);
            return np.attr("inner")(query.is_valid() ? query : nb::borrow(query_embedding),
                                    matrix);
        }
    }
    return np.attr("inner")(query_embedding, embeddings);
}

struct Page {
    std::vector<nb::object> positions;
    std::vector<double> values;  // the score at each position, when known natively
};

// The ranked positions of the page: an ascending argsort reversed, sliced
// from (page - 1) * results_per_page, with Python's slicing rules.
Page ranked_page(const Args &a, bool native, nb::handle scores, nb::handle page,
                 nb::handle results_per_page) {
    nb::object bounds = wrapper::finder_common::page_slice(page, results_per_page);
    Page result;
    if (native) {
        pyface::BufferView buffer(scores);
        const std::string format(buffer.ok() ? buffer.format() : "");
        if (buffer.ok() && buffer.view().ndim == 1 && (format == "f" || format == "d")) {
            const auto n = static_cast<size_t>(buffer.view().shape[0]);
            const auto [b, e] = wrapper::finder_common::page_bounds(bounds, n);
            const void *data = buffer.view().buf;
            const bool single = format == "f";
            std::vector<size_t> order;
            if (b < e) {
                nb::gil_scoped_release unlocked;
                order = single ? wrapper_native::descending_page(
                                     static_cast<const float *>(data), n, b, e)
                               : wrapper_native::descending_page(
                                     static_cast<const double *>(data), n, b, e);
            }
            for (size_t position : order) {
                result.positions.push_back(nb::int_(position));
                result.values.push_back(single ? static_cast<const float *>(data)[position]
                                               : static_cast<const double *>(data)[position]);
            }
            return result;
        }
    }
    nb::object np = a.global("np");
    nb::object order = np.attr("argsort")(scores, nb::arg("axis") = nb::none(),
                                          nb::arg("kind") = "quicksort",
                                          nb::arg("order") = nb::none());
    nb::object reversed = order[nb::slice(nb::none(), nb::none(), nb::int_(-1))];
    for (nb::handle position : nb::object(reversed[bounds]))
        result.positions.push_back(nb::borrow(position));
    return result;
}

nb::object search_documents(const Args &a) {
    nb::handle self = a[0];
    nb::handle query = a[1];
    wrapper::shared_model::refresh(a, self);
    nb::object key = self.attr("model_main");
    if (pyface::truthy(self.attr("supported_languages"))) {
        nb::object language = nb::borrow(a[2]);
        if (!pyface::truthy(language))
            language = a.global("TongueProbe").attr("detect_lang")(query)[0].attr("value");
        key = language;
        if (!pyface::truthy(key)) pyface::raise(PyExc_Exception, "language not detected");
        nb::object models = self.attr("multilang_models");
        nb::object names = self.attr("document_names");
        if (!pyface::contains(models, key) || !pyface::contains(names, key) ||
            !pyface::truthy(names[key]))
            pyface::raise_object(
                PyExc_Exception,
                pyface::concat("without model or documents for language ", pyface::format(key)));
    }
    nb::object model = self.attr("multilang_models")[key];
    if (!pyface::truthy(model))
        pyface::raise_object(PyExc_Exception,
                             pyface::concat("model not loaded for language ", pyface::format(key)));
    nb::object embeddings = self.attr("embedded_documents")[key];
    nb::object query_embedding = model.attr("encode")(query, nb::arg("convert_to_tensor") = true);

    const bool native = g_numpy.is_pristine(a);
    nb::object scores = scores_of(a, self, key, native, query_embedding, embeddings);
    Page page = ranked_page(a, native, scores, a[3], a[4]);

    nb::list rows;
    nb::object zero = nb::int_(0);
    for (size_t i = 0; i < page.positions.size(); ++i) {
        nb::object score = scores[page.positions[i]];
        const bool positive = i < page.values.size()
                                  ? page.values[i] > 0
                                  : pyface::truthy(nb::steal(pyface::check(
                                        PyObject_RichCompare(score.ptr(), zero.ptr(), Py_GT))));
        if (!positive) break;
        nb::dict row;
        row["name"] = self.attr("document_names")[key][page.positions[i]];
        row["Score"] = score;
        row["language"] = key;
        rows.append(row);
    }
    return nb::make_tuple(query, rows);
}

}  // namespace

NB_MODULE(EmbeddingFinder, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_from("sentence_transformers", {"SentenceTransformer"});
    mod.import_module("os");
    mod.import_module("logging");
    mod.import_module("joblib");
    mod.import_module("numpy", "np");
    mod.import_from(".File", {"File"});
    mod.import_from("..infra", {"TongueProbe"});
    mod.import_from(".FinderBase", {"FinderBase"});
    mod.import_from(".EmbeddingEncoder", {"EmbeddingEncoder"});
    mod.import_from("..infra.Tongue", {"Tongue"});
    wrapper::embedding_file::init(mod.globals());
    g_numpy.capture(mod.globals());

    nb::object base = nb::borrow(mod.globals()["FinderBase"]);
    pyface::ClassBuilder(mod, "EmbeddingFinder", nb::make_tuple(base),
                         nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(base.ptr()))))
        .attr("supported_languages", nb::bool_(false))
        .attr("model_main", nb::str("main"))
        .method("__init__", {"self", "base_path", {"supported_languages", false}}, init)
        .method("train_model", {"self", "doc"}, train_model)
        .method("train_models", {"self", "records"}, train_models)
        .method("save_model", {"self"}, save_model)
        .method("load_model", {"self"}, load_model)
        .method("search_documents",
                {"self", "query", {"detected_search_language", nb::none()}, {"page", 1},
                 {"results_per_page", 10}},
                search_documents)
        .build();
}
