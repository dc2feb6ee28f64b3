// wrapper.core.File: the record of one document as the engines see it.
#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "pyface/errors.hpp"
#include "pyface/module.hpp"
#include "pyface/pyops.hpp"

namespace nb = nanobind;
using pyface::Args;

namespace {

nb::object init(const Args &a) {
    nb::handle self = a[0];
    self.attr("base_path") = a[1];
    self.attr("translate_to") = a[3];
    self.attr("is_detect_language") = a[2];
    pyface::print(a, self.attr("base_path"));
    return nb::none();
}

nb::object set_base_path(const Args &a) {
    a[0].attr("base_path") = a[1];
    return nb::none();
}

nb::object create_features_base(const Args &a) {
    nb::handle self = a[0];
    self.attr("path") = a[1];
    if (!pyface::truthy(self.attr("text")))
        self.attr("text") = a.global("ContentReader").attr("extract_text_from_any")(a[1]);
    if (pyface::truthy(self.attr("text"))) {
        self.attr("extracted_text") = self.attr("text");
        nb::object translated, translated_to;
        if (pyface::truthy(self.attr("is_detect_language")) ||
            pyface::truthy(self.attr("translate_to"))) {
            nb::object detected = a.global("TongueProbe").attr("detect_lang")(
                self.attr("text"), self.attr("translate_to"),
                nb::arg("fix_text") = self.attr("ocr"));
            std::vector<nb::object> parts = pyface::unpack(detected, 3);
            self.attr("detected_language") = parts[0];
            translated = parts[1];
            self.attr("sentences") = parts[2];
            if (pyface::truthy(self.attr("translate_to"))) {
                if (!pyface::truthy(translated)) {
                    nb::object message = pyface::concat("Text ", pyface::format(self.attr("text")));
                    message = pyface::concat(message, " detected lang ");
                    message = pyface::add(message, pyface::format(self.attr("detected_language")));
                    message = pyface::concat(message, " not translated to ");
                    message = pyface::add(message, pyface::format(self.attr("translate_to")));
                    pyface::raise_object(PyExc_Exception, message);
                }
                self.attr("text") = translated;
                translated_to = self.attr("translate_to");
            }
        }
        nb::object prepare = a.global("Cleanser").attr("preprocess_text_for_stemmetization");
        // A translated text is in the target language: its stop words and
        // stemmer are the target's, as for the queries searched against it.
        nb::object language = translated_to.is_valid() ? translated_to
                                                       : nb::object(self.attr("detected_language"));
        nb::object prepared = pyface::truthy(self.attr("is_detect_language"))
                                  ? prepare(self.attr("text"), language)
                                  : prepare(self.attr("text"));
        std::vector<nb::object> parts = pyface::unpack(prepared, 2);
        self.attr("tokens") = parts[0];
        self.attr("cleaned_text") = parts[1];
    }
    self.attr("list_NER")();
    return nb::none();
}

nb::object list_NER(const Args &a) {
    nb::handle self = a[0];
    self.attr("named_entities") = nb::none();
    if (pyface::truthy(self.attr("text")))
        self.attr("named_entities") = a.global("extract_named_entities")(self.attr("text"));
    return self.attr("named_entities");
}

nb::object find_token(const Args &a) {
    nb::object prepared =
        a.global("Cleanser").attr("preprocess_text_for_stemmetization")(a[1], a[2]);
    std::vector<nb::object> parts = pyface::unpack(prepared, 2);
    for (nb::handle token : parts[0])
        if (pyface::contains(a[0].attr("tokens"), token)) return nb::bool_(true);
    return nb::bool_(false);
}

}  // namespace

NB_MODULE(File, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_from("..infra.EntityTagger", {"extract_named_entities"});
    mod.import_from("..infra", {"ContentReader", "Cleanser", "TongueProbe"});
    mod.import_from("..infra.Tongue", {"Tongue"});

    nb::handle str_type = reinterpret_cast<PyObject *>(&PyUnicode_Type);
    nb::object tongue = nb::borrow(mod.globals()["Tongue"]);
    pyface::ClassBuilder cls(mod, "File");
    for (const char *name : {"id", "text", "extracted_text"}) cls.annotate(name, str_type);
    cls.attr("id", nb::none())
        .attr("text", nb::none())
        .attr("extracted_text", nb::none())
        .attr("tokens", nb::list())
        .attr("sentences", nb::list())
        .attr("cleaned_text", nb::none())
        .annotate("text_features", str_type)
        .attr("text_features", nb::none())
        .annotate("base_path", str_type)
        .attr("base_path", nb::none())
        .annotate("path", str_type)
        .attr("path", nb::none())
        .attr("named_entities", nb::list())
        .attr("summary", nb::tuple())
        .annotate("detected_language", tongue)
        .attr("detected_language", nb::none())
        .annotate("translate_to", tongue)
        .attr("translate_to", nb::none())
        .attr("is_detect_language", nb::bool_(false))
        .attr("ocr", nb::bool_(false))
        .method("__init__",
                {"self", "base_path", {"is_detect_language", false},
                 {"translate_to", nb::none()}},
                init)
        .method("set_base_path", {"self", "base_path"}, set_base_path)
        .method("create_features_base", {"self", "path"}, create_features_base)
        .method("find_token", {"self", "query_text", {"lng", tongue.attr("PORTUGUESE")}},
                find_token)
        .method("list_NER", {"self"}, list_NER)
        .build();
}
