// wrapper.core.FinderBase: the common base of the search engines, and the
// writer of the human-readable debug file beside every model file.
#include <nanobind/nanobind.h>

#include "pyface/errors.hpp"
#include "pyface/files.hpp"
#include "pyface/module.hpp"
#include "pyface/original.hpp"
#include "pyface/pyops.hpp"
#include "wrapper/core/json_text.hpp"

namespace nb = nanobind;
using pyface::Args;

namespace {

nb::object placeholder(const Args &) { return nb::none(); }

pyface::OriginalGlobal g_json("json", {"dumps", "JSONEncoder"});

// json.dumps(dc, indent=4): natively while the module's json is the
// library's, for the plain values debug documents hold.
nb::object debug_text(const Args &a, nb::handle dc) {
    if (g_json.is_pristine(a))
        if (nb::object text = wrapper::json_text::dumps(dc, 4); text.is_valid()) return text;
    return a.global("json").attr("dumps")(dc, nb::arg("indent") = 4);
}

nb::object save_debug_json(const Args &a) {
    nb::handle dc = a[1];
    nb::object now = a.global("datetime").attr("datetime").attr("now")();
    dc["updated_at"] = pyface::str(now);
    // Serialised before the file is touched: a value JSON cannot hold
    // leaves the old file as it was.
    nb::object text = debug_text(a, dc);
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
    g_json.capture(mod.globals());
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
