// The document kinds (PDF, picture, video) are the same small class over
// `File`: an `objects` list, a constructor that hands its arguments to
// File's, and a kind-specific `create_features(path)`. Each kind's module
// includes this once and calls `build_record_kind` from its init.
#pragma once

#include <nanobind/nanobind.h>

#include "pyface/errors.hpp"
#include "pyface/module.hpp"

namespace wrapper {
namespace {

namespace nb = nanobind;

// The class built by this module, for super(): the parent's constructor is
// the one after this class in the instance's MRO, whatever subclass the
// instance belongs to.
PyObject *g_record_kind = nullptr;

nb::object record_kind_init(const pyface::Args &a) {
    PyObject *super_type = reinterpret_cast<PyObject *>(&PySuper_Type);
    nb::object parent = nb::steal(pyface::check(
        PyObject_CallFunctionObjArgs(super_type, g_record_kind, a[0].ptr(), nullptr)));
    parent.attr("__init__")(a[1], a[2], a[3]);
    return nb::none();
}

// Builds class `name`(File) in the module; `File` must already be one of
// the module's globals.
nb::object build_record_kind(pyface::ModuleBuilder &mod, const char *name,
                             pyface::Impl create_features) {
    nb::object file = nb::borrow(mod.globals()["File"]);
    nb::object cls = pyface::ClassBuilder(mod, name, nb::make_tuple(file))
                         .attr("objects", nb::list())
                         .method("__init__",
                                 {"self", "base_path", {"is_detect_language", false},
                                  {"translate_to", nb::none()}},
                                 record_kind_init)
                         .method("create_features", {"self", "path"}, create_features)
                         .build();
    g_record_kind = cls.inc_ref().ptr();
    return cls;
}

}  // namespace
}  // namespace wrapper
