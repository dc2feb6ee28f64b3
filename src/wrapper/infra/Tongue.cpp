// wrapper.infra.Tongue: the document languages and their NLTK names.
#include <nanobind/nanobind.h>

#include "pyface/errors.hpp"
#include "pyface/module.hpp"
#include "pyface/pyops.hpp"

namespace nb = nanobind;
using pyface::Args;

namespace {

nb::object get_language_from_lingua(const Args &a) {
    nb::handle language = a[0];
    nb::object lingua = a.global("Language");
    nb::object tongue = a.global("Tongue");
    if (pyface::equals(language, lingua.attr("ENGLISH"))) return tongue.attr("ENGLISH");
    if (pyface::equals(language, lingua.attr("SPANISH"))) return tongue.attr("SPANISH");
    if (pyface::equals(language, lingua.attr("PORTUGUESE"))) return tongue.attr("PORTUGUESE");
    pyface::raise_object(PyExc_ValueError,
                         pyface::concat(pyface::concat("Language ", pyface::format(language)),
                                        " not supported"));
}

nb::object get_nltk_language(const Args &a) {
    nb::object table = a.global("Tongue").attr("nltk_languages").attr("value");
    return table[a[0].attr("value")];
}

nb::object get_language_from_nltk_language(const Args &a) {
    nb::handle code = a[0];
    if (!pyface::is_str(code)) {
        nb::object type_name = pyface::type_name(code);
        pyface::raise_object(
            PyExc_TypeError,
            pyface::concat("get_language_from_nltk_language() argument 'nltk_language' "
                           "must be str, not ",
                           type_name));
    }
    nb::object tongue = a.global("Tongue");
    if (pyface::equals(code, nb::str("pt"))) return tongue.attr("PORTUGUESE");
    if (pyface::equals(code, nb::str("en"))) return tongue.attr("ENGLISH");
    if (pyface::equals(code, nb::str("es"))) return tongue.attr("SPANISH");
    pyface::raise_object(PyExc_ValueError,
                         pyface::concat(pyface::concat("Language ", code), " not supported"));
}

}  // namespace

NB_MODULE(Tongue, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_from("enum", {"Enum"});
    mod.import_from("lingua", {"Language"});

    nb::object enum_base = nb::module_::import_("enum").attr("Enum");
    pyface::ClassBuilder cls(mod, "Tongue", nb::make_tuple(enum_base),
                             nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(enum_base.ptr()))));
    nb::dict names;
    names["pt"] = "portuguese";
    names["en"] = "english";
    names["es"] = "spanish";
    cls.attr("nltk_languages", names)
        .attr("ENGLISH", nb::str("en"))
        .attr("SPANISH", nb::str("es"))
        .attr("PORTUGUESE", nb::str("pt"))
        .static_method("get_language_from_lingua", {"language"}, get_language_from_lingua)
        .static_method("get_nltk_language", {"language"}, get_nltk_language)
        .static_method("get_language_from_nltk_language", {"nltk_language"},
                       get_language_from_nltk_language)
        .build();
}
