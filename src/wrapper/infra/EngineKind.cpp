// wrapper.infra.EngineKind: which search engine a pipeline is built with.
#include <nanobind/nanobind.h>

#include "pyface/module.hpp"

namespace nb = nanobind;

NB_MODULE(EngineKind, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_from("enum", {"Enum"});
    nb::object enum_base = nb::module_::import_("enum").attr("Enum");
    pyface::ClassBuilder(mod, "EngineKind", nb::make_tuple(enum_base),
                         nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(enum_base.ptr()))))
        .attr("SB", nb::str("SB"))
        .attr("TD", nb::str("TD"))
        .build();
}
