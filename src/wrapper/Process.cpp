// wrapper.Process: the pipeline the hosting server talks to. One Process per
// base directory: it compiles documents into records, trains its engine on
// them and answers queries.
#include <nanobind/nanobind.h>

#include "pyface/errors.hpp"
#include "pyface/module.hpp"
#include "pyface/pyops.hpp"

namespace nb = nanobind;
using pyface::Args;
using pyface::concat;

namespace {

bool ends_with_any(nb::handle text, std::initializer_list<const char *> suffixes) {
    nb::list items;
    for (const char *s : suffixes) items.append(nb::str(s));
    return pyface::truthy(text.attr("endswith")(nb::tuple(items)));
}

nb::object init(const Args &a) {
    nb::handle self = a[0], base_path = a[1], type = a[4];
    pyface::log(a, "info", "starting process");
    self.attr("modeldir") = concat(base_path, "/models");
    nb::object os = a.global("os");
    if (!pyface::truthy(os.attr("path").attr("exists")(self.attr("modeldir")))) {
        try {
            os.attr("makedirs")(self.attr("modeldir"));
        } catch (nb::python_error &e) {
            // Two workers starting on the same new base directory: the
            // other one made it between the test and the call.
            if (!e.matches(PyExc_FileExistsError) ||
                !pyface::truthy(os.attr("path").attr("isdir")(self.attr("modeldir"))))
                throw;
        }
    }
    self.attr("base_path") = base_path;
    self.attr("is_detect_language") = a[2];
    self.attr("translate_to") = a[3];
    nb::object kinds = a.global("EngineKind");
    if (pyface::equals(type, kinds.attr("SB")))
        self.attr("document_search") =
            a.global("EmbeddingFinder")(self.attr("modeldir"), self.attr("is_detect_language"));
    else if (pyface::equals(type, kinds.attr("TD")))
        self.attr("document_search") = a.global("TfidfFinder")(self.attr("modeldir"));
    else
        self.attr("document_search") = nb::none();
    return nb::none();
}

nb::object create_online_pipeline_multilingual(const Args &a) {
    return a.global("Process")(a[0], a[1], a[2], a.global("EngineKind").attr("SB"));
}

nb::object create_batch_pipeline(const Args &a) {
    return a.global("Process")(a[0], a[1], a[2], a.global("EngineKind").attr("TD"));
}

nb::object compile(const Args &a) {
    nb::handle base_path = a[0], complement_path = a[1], detect = a[2], translate_to = a[3];
    nb::object file_path =
        pyface::add(concat(pyface::format(base_path), "/"), pyface::format(complement_path));
    if (!ends_with_any(file_path,
                       {".txt", ".csv", ".pdf", ".docx", ".jpg", ".jpeg", ".png", ".mp4"})) {
        pyface::log(a, "warning", "Not supported document");
        pyface::raise_object(PyExc_Exception,
                             concat("Not supported extension for document ", complement_path));
    }
    if (ends_with_any(file_path, {".txt", ".csv", ".docx"}))
        pyface::raise(PyExc_Exception,
                      "Without support for document with extension .txt, .csv or .docx.");
    const char *kind = nullptr;
    if (ends_with_any(file_path, {".pdf"}))
        kind = "PDF";
    else if (ends_with_any(file_path, {".jpg", ".png", ".jpeg"}))
        kind = "Image";
    else
        kind = "Video";  // ".mp4": the only suffix left past the gate
    nb::object doc = a.global(kind)(base_path, detect, translate_to);
    doc.attr("create_features")(file_path);
    return doc;
}

nb::object compile_doc(const Args &a) {
    nb::handle self = a[0];
    nb::object file =
        a.global("Process").attr("compile")(self.attr("base_path"), a[1],
                                            self.attr("is_detect_language"),
                                            self.attr("translate_to"));
    file.attr("id") = a[2];
    return file;
}

nb::object train_doc(const Args &a) {
    a[0].attr("document_search").attr("train_model")(a[1]);
    return nb::borrow(a[1]);
}

nb::object compile_and_train(const Args &a) {
    nb::handle self = a[0];
    nb::object file = self.attr("compile_doc")(a[1], a[2]);
    self.attr("document_search").attr("train_model")(file);
    return file;
}

// isinstance(engine, TfidfFinder)
bool is_tfidf(const Args &a, nb::handle engine) {
    const int result = PyObject_IsInstance(engine.ptr(), a.global("TfidfFinder").ptr());
    pyface::check_status(result < 0 ? -1 : 0);
    return result == 1;
}

nb::object search(const Args &a) {
    nb::handle self = a[0];
    nb::object translate_to = self.attr("translate_to");
    auto detected = pyface::unpack(
        a.global("TongueProbe").attr("detect_lang")(a[1], translate_to, a[2]), 3);
    nb::object language = detected[0], query = detected[1];
    pyface::log(a, "info",
                pyface::add(concat(concat("Language detected: ", pyface::str(language)),
                                   " - Query: "),
                            pyface::str(query)));
    nb::object code = pyface::truthy(translate_to) ? translate_to.attr("value")
                                                   : language.attr("value");
    nb::object engine = self.attr("document_search");
    nb::object search_documents = engine.attr("search_documents");
    // Without detection the documents were prepared without a language
    // (no stop words removed, nothing stemmed): the TF-IDF engine must
    // prepare and correct the query the same way, or its stems miss the
    // vocabulary and get "corrected" into other words.
    if (!pyface::truthy(self.attr("is_detect_language")) && is_tfidf(a, engine))
        return search_documents(query, code, a[3], a[4],
                                nb::arg("prepare_with_language") = false);
    return search_documents(query, code, a[3], a[4]);
}

nb::object load(const Args &a) {
    nb::handle download_dir = a[0];
    pyface::log(a, "info", "Downloading resources...");
    nb::object os = a.global("os");
    // The models install into the interpreter running this code, whatever
    // `python3` the shell would find first. An embedding host may not know
    // its interpreter's path (sys.executable empty or None): the shell's
    // `python3` is then the best guess.
    nb::object executable = nb::module_::import_("sys").attr("executable");
    nb::object python = pyface::truthy(executable)
                            ? nb::module_::import_("shlex").attr("quote")(executable)
                            : nb::object(nb::str("python3"));
    for (const char *model : {"xx_ent_wiki_sm", "pt_core_news_sm"})
        os.attr("system")(concat(python, std::string(" -m spacy download ") + model));
    nb::object nltk = a.global("nltk");
    const char *packages[] = {"punkt", "stopwords", "wordnet", "rslp"};
    if (!pyface::truthy(download_dir) ||
        !pyface::truthy(os.attr("path").attr("exists")(download_dir))) {
        pyface::log(a, "info", "Downloading more resources...");
        for (const char *p : packages)
            nltk.attr("download")(p, nb::arg("download_dir") = download_dir);
    }
    for (const char *p : packages) nltk.attr("download")(p);
    pyface::log(a, "info", "Finish Downloading resources...");
    return nb::none();
}

}  // namespace

NB_MODULE(Process, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_from(".core.File", {"File"});
    mod.import_from(".core.Image", {"Image"});
    mod.import_from(".core.Video", {"Video"});
    mod.import_from(".core.PDF", {"PDF"});
    mod.import_from(".infra.Tongue", {"Tongue"});
    mod.import_from(".infra.EngineKind", {"EngineKind"});
    mod.import_from(".infra", {"TongueProbe"});
    mod.import_module("os");
    mod.import_module("nltk");
    mod.import_from(".core.TfidfFinder", {"TfidfFinder"});
    mod.import_from(".core.EmbeddingFinder", {"EmbeddingFinder"});
    mod.import_module("logging");

    nb::handle tongue = mod.globals()["Tongue"];
    nb::object none = nb::none();
    pyface::ClassBuilder(mod, "Process")
        .annotate("base_path", nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)))
        .annotate("is_detect_language", nb::handle(reinterpret_cast<PyObject *>(&PyBool_Type)))
        .annotate("translate_to", tongue)
        .attr("document_search", none)
        .method("__init__",
                {"self", "base_path", {"is_detect_language", false}, {"translate_to", none},
                 {"type", none}},
                init)
        .static_method("create_online_pipeline_multilingual",
                       {"base_path", {"is_detect_language", true},
                        {"translate_to", tongue.attr("ENGLISH")}},
                       create_online_pipeline_multilingual)
        .static_method("create_batch_pipeline",
                       {"base_path", {"is_detect_language", false}, {"translate_to", none}},
                       create_batch_pipeline)
        .static_method("compile",
                       {"base_path", "complement_path", {"is_detect_language", false},
                        {"translate_to", none}},
                       compile)
        .method("compile_doc", {"self", "complement_path", "file_index"}, compile_doc)
        .method("train_doc", {"self", "file"}, train_doc)
        .method("compile_and_train", {"self", "complement_path", "file_index"},
                compile_and_train)
        .method("search",
                {"self", "query", {"detected_language", none}, {"page", 1},
                 {"results_per_page", 10}},
                search)
        .static_method("load", {{"download_dir", none}}, load)
        .build();
}
