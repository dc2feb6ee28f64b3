#include "pyface/deferred.hpp"

#include <map>
#include <vector>

#include "pyface/errors.hpp"
#include "pyface/function.hpp"

namespace pyface {
namespace {

struct Deferred {
    std::string source;
    std::string attr;
    OnLoad on_load;
};

// Per module dict (kept alive here: extension modules are never unloaded).
using Table = std::map<std::string, Deferred, std::less<>>;
std::map<PyObject *, Table> &tables() {
    static auto *t = new std::map<PyObject *, Table>();
    return *t;
}

Table *table_of(nb::handle globals) {
    auto it = tables().find(globals.ptr());
    return it == tables().end() ? nullptr : &it->second;
}

nb::object import_object(const Deferred &d) {
    nb::object mod = nb::module_::import_(d.source.c_str());
    if (d.attr.empty()) return mod;
    PyObject *value = PyObject_GetAttrString(mod.ptr(), d.attr.c_str());
    if (value != nullptr) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::module_::import_((d.source + "." + d.attr).c_str());
}

nb::object module_getattr(const Args &a) {
    const std::string name = nb::cast<std::string>(nb::str(a[0]));
    nb::object value = load_deferred(a.globals(), name.c_str());
    if (value.is_valid()) return value;
    nb::object module_name = lookup_global(a.globals(), "__name__");
    PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%U'",
                 module_name.ptr(), a[0].ptr());
    throw nb::python_error();
}

nb::object module_dir(const Args &a) {
    nb::list names = nb::steal<nb::list>(check(PyDict_Keys(a.globals().ptr())));
    if (const Table *t = table_of(a.globals())) {
        for (const auto &[name, d] : *t)
            if (PyDict_GetItemString(a.globals().ptr(), name.c_str()) == nullptr)
                names.append(nb::str(name.c_str()));
    }
    check_status(PyList_Sort(names.ptr()));
    return names;
}

}  // namespace

void defer_global(nb::handle globals, const std::string &name, const std::string &source,
                  const std::string &attr, OnLoad on_load) {
    auto [it, first] = tables().try_emplace(globals.ptr());
    if (first) {
        Py_INCREF(globals.ptr());
        check_status(PyDict_SetItemString(
            globals.ptr(), "__getattr__",
            make_function(globals, "__getattr__", {"name"}, module_getattr).ptr()));
        check_status(PyDict_SetItemString(
            globals.ptr(), "__dir__", make_function(globals, "__dir__", {}, module_dir).ptr()));
    }
    it->second[name] = Deferred{source, attr, on_load};
}

nb::object load_deferred(nb::handle globals, const char *name) {
    Table *t = table_of(globals);
    if (t == nullptr) return nb::object();
    auto it = t->find(std::string_view(name));
    if (it == t->end()) return nb::object();
    const Deferred d = it->second;  // the import may run code that defers more names
    nb::object value = import_object(d);
    // Another thread may have finished the same import meanwhile (or the
    // name was assigned): the dict's object wins, as it would in Python.
    if (PyObject *present = PyDict_GetItemString(globals.ptr(), name)) return nb::borrow(present);
    if (d.on_load != nullptr) d.on_load(value);
    check_status(PyDict_SetItemString(globals.ptr(), name, value.ptr()));
    return value;
}

bool is_heavy_library(const std::string &module) {
    static const char *const heavy[] = {"torch", "transformers", "sentence_transformers", "spacy"};
    const std::string top = module.substr(0, module.find('.'));
    for (const char *h : heavy)
        if (top == h) return true;
    return false;
}

}  // namespace pyface
