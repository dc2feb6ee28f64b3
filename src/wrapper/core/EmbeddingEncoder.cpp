// wrapper.core.EmbeddingEncoder: picks the sentence-embedding model of a
// language, obtains it once and keeps a joblib copy under the model
// directory, from which every later encoder reads it.
#include <nanobind/nanobind.h>

#include "pyface/module.hpp"
#include "pyface/pyops.hpp"

namespace nb = nanobind;
using pyface::Args;

namespace {

const char *const kEnglishModel = "sentence-transformers/all-MiniLM-L6-v2";
const char *const kPortugueseLegalModel = "stjiris/bert-large-portuguese-cased-legal-mlm-sts-v1.0";
const char *const kPortugueseModel = "neuralmind/bert-large-portuguese-cased";
const char *const kMultilingualModel =
    "sentence-transformers/paraphrase-multilingual-MiniLM-L12-v2";

nb::object model_identifier(const Args &a, nb::handle vect_lang, nb::handle legal_domain) {
    nb::object tongue = a.global("Tongue");
    if (pyface::equals(vect_lang, tongue.attr("ENGLISH"))) return nb::str(kEnglishModel);
    if (pyface::equals(vect_lang, tongue.attr("PORTUGUESE")))
        return nb::str(pyface::truthy(legal_domain) ? kPortugueseLegalModel : kPortugueseModel);
    return nb::str(kMultilingualModel);
}

nb::object init(const Args &a) {
    nb::handle self = a[0];
    nb::object corpus_name = nb::borrow(a[4]);
    if (!pyface::truthy(corpus_name)) corpus_name = model_identifier(a, a[2], a[3]);
    a.global("Vectorizer").attr("__init__")(self, a[1], corpus_name);
    self.attr("load_model")();
    if (!pyface::truthy(self.attr("model"))) {
        // Only now is the library's loader (and maybe the network) used;
        // from here on the joblib copy serves every encoder of this
        // directory and identifier.
        nb::object model = a.global("SentenceTransformer")(corpus_name);
        self.attr("save_model")(model);
    }
    return nb::none();
}

nb::object instance(const Args &a) {
    nb::handle cls = a[0];
    if (cls.attr("_instance").is_none())
        cls.attr("_instance") = cls(a[1], a[2], a[3], a[4]);
    return cls.attr("_instance");
}

nb::object encode(const Args &a) {
    return a[0].attr("model").attr("encode")(a[1], nb::arg("convert_to_tensor") = a[2]);
}

}  // namespace

NB_MODULE(EmbeddingEncoder, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_from("sentence_transformers", {"SentenceTransformer"});
    mod.import_from(".Vectorizer", {"Vectorizer"});
    mod.import_from(".File", {"File"});
    mod.import_from("..infra.Tongue", {"Tongue"});

    // The default language is fixed when the class is made, as a default
    // value in a `def` would be.
    nb::object english = nb::borrow(mod.globals()["Tongue"]).attr("ENGLISH");
    nb::object base = nb::borrow(mod.globals()["Vectorizer"]);
    pyface::ClassBuilder(mod, "EmbeddingEncoder", nb::make_tuple(base),
                         nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(base.ptr()))))
        .attr("_instance", nb::none())
        .method("__init__",
                {"self", "path", {"vect_lang", english}, {"legal_domain", nb::none()},
                 {"corpus_name", nb::none()}},
                init)
        .class_method("instance",
                      {"cls", "path", {"vect_lang", english}, {"legal_domain", nb::none()},
                       {"corpus_name", nb::none()}},
                      instance)
        .method("encode", {"self", "text", {"convert_to_tensor", false}}, encode)
        .build();
}
