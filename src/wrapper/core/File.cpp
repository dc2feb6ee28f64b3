// wrapper.core.File: the record of one document as the engines see it.
#include <nanobind/nanobind.h>

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

}  // namespace

NB_MODULE(File, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_from("..infra", {"Cleanser"});
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
        .build();
}
