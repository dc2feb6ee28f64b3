#include "wrapper/core/record_kind.hpp"

#include "pyface/errors.hpp"

namespace wrapper {

namespace {

// The class built by this module, for super(): the parent's constructor is
// the one after this class in the instance's MRO, whatever subclass the
// instance belongs to. Each module links its own copy of this file.
PyObject *g_record_kind = nullptr;

nb::object record_kind_init(const pyface::Args &a) {
    PyObject *super_type = reinterpret_cast<PyObject *>(&PySuper_Type);
    nb::object parent = nb::steal(pyface::check(
        PyObject_CallFunctionObjArgs(super_type, g_record_kind, a[0].ptr(), nullptr)));
    parent.attr("__init__")(a[1], a[2], a[3]);
    return nb::none();
}

}  // namespace

void create_features_from(const pyface::Args &a, nb::object text) {
    nb::handle self = a[0];
    self.attr("ocr") = true;
    self.attr("text") = std::move(text);
    self.attr("create_features_base")(a[1]);
}

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

}  // namespace wrapper
