#include "wrapper/core/record_kind.hpp"

#include <vector>

#include "pyface/errors.hpp"
#include "pyface/module.hpp"

namespace wrapper {

namespace {

// The class built by this module, for super(): the parent's constructor is
// the one after this class in the instance's MRO, whatever subclass the
// instance belongs to. Each module links its own copy of this file, so
// these are the one kind of that module.
PyObject *g_record_kind = nullptr;
const char *g_reader = nullptr;
bool g_with_base_path = false;

nb::object record_kind_init(const pyface::Args &a) {
    PyObject *super_type = reinterpret_cast<PyObject *>(&PySuper_Type);
    nb::object parent = nb::steal(pyface::check(
        PyObject_CallFunctionObjArgs(super_type, g_record_kind, a[0].ptr(), nullptr)));
    parent.attr("__init__")(a[1], a[2], a[3]);
    return nb::none();
}

// Marks the record as read by OCR, sets its text to what the kind's reader
// returns and runs File's feature pipeline on `path`.
nb::object create_features(const pyface::Args &a) {
    nb::handle self = a[0];
    nb::object read = a.global("ContentReader").attr(g_reader);
    nb::object text = g_with_base_path ? read(a[1], self.attr("base_path")) : read(a[1]);
    self.attr("ocr") = true;
    self.attr("text") = std::move(text);
    self.attr("create_features_base")(a[1]);
    return nb::none();
}

}  // namespace

void define_record_kind(nb::module_ module, const RecordKind &kind) {
    pyface::ModuleBuilder mod(module);
    mod.import_from(".File", {"File"});
    std::vector<const char *> infra = {"ContentReader"};
    infra.insert(infra.end(), kind.infra_extras.begin(), kind.infra_extras.end());
    for (const char *name : infra) mod.import_from("..infra", {name});
    mod.import_from("..infra.Tongue", {"Tongue"});
    g_reader = kind.reader;
    g_with_base_path = kind.with_base_path;

    nb::object file = nb::borrow(mod.globals()["File"]);
    nb::object cls = pyface::ClassBuilder(mod, kind.name, nb::make_tuple(file))
                         .attr("objects", nb::list())
                         .method("__init__",
                                 {"self", "base_path", {"is_detect_language", false},
                                  {"translate_to", nb::none()}},
                                 record_kind_init)
                         .method("create_features", {"self", "path"}, create_features)
                         .build();
    g_record_kind = cls.inc_ref().ptr();
}

}  // namespace wrapper
