// wrapper.core.FinderBase: the common base of the search engines, and the
// writer of the human-readable debug file beside every model file.
#include <nanobind/nanobind.h>

#include "pyface/errors.hpp"
#include "pyface/files.hpp"
#include "pyface/module.hpp"
#include "pyface/pyops.hpp"

namespace nb = nanobind;
using pyface::Args;

namespace {

nb::object placeholder(const Args &) { return nb::none(); }

nb::object save_debug_json(const Args &a) {
    nb::handle dc = a[1];
    nb::object now = a.global("datetime").attr("datetime").attr("now")();
    dc["updated_at"] = pyface::str(now);
    // Serialised before the file is touched: a value JSON cannot hold
    // leaves the old file as it was.
    nb::object text = a.global("json").attr("dumps")(dc, nb::arg("indent") = 4);
    nb::object open = a.global("open");
    pyface::atomic_replace(a[2], [&](nb::handle tmp) {
        pyface::Closing f(open(tmp, "w"));
        f.get().attr("write")(text);
        f.close();
    });
    return nb::none();
}

}  // namespace

NB_MODULE(FinderBase, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_module("json");
    mod.import_module("datetime");
    pyface::ClassBuilder(mod, "FinderBase")
        .method("__init__", {"self"}, placeholder)
        .method("train_model", {"self"}, placeholder)
        .method("save_model", {"self"}, placeholder)
        .method("load_model", {"self"}, placeholder)
        .method("search_documents", {"self"}, placeholder)
        .method("save_debug_json", {"self", "dc", "debug_file"}, save_debug_json)
        .native_state_slot()  // the engines' native caches
        .build();
}
