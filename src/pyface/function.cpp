#include "pyface/function.hpp"

#include "pyface/deferred.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <memory>

#include "pyface/errors.hpp"

namespace pyface {
namespace {

struct FunctionData {
    std::string qualname;
    std::string name;
    std::vector<nb::object> names;     // interned parameter names
    std::vector<nb::object> defaults;  // not valid: required
    nb::object globals;
    nb::object module_name;
    nb::object doc;
    nb::object signature;  // built on first use
    Impl impl = nullptr;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FunctionData *data;
};

FunctionData &data_of(PyObject *self) {
    return *reinterpret_cast<FunctionObject *>(self)->data;
}

// ---- argument errors, worded as the interpreter words them -------------

[[noreturn]] void too_many_positional(const FunctionData &d, size_t given) {
    size_t required = 0;
    for (const auto &def : d.defaults)
        if (!def.is_valid()) ++required;
    const size_t total = d.names.size();
    std::string msg = d.qualname + "() takes ";
    if (required == total)
        msg += std::to_string(total) + " positional argument" +
               (total == 1 ? "" : "s");
    else
        msg += "from " + std::to_string(required) + " to " +
               std::to_string(total) + " positional arguments";
    msg += " but " + std::to_string(given) + (given == 1 ? " was" : " were") +
           " given";
    raise(PyExc_TypeError, msg);
}

[[noreturn]] void missing_arguments(const FunctionData &d,
                                    const std::vector<std::string> &missing) {
    std::string msg = d.qualname + "() missing " +
                      std::to_string(missing.size()) + " required positional argument" +
                      (missing.size() == 1 ? "" : "s") + ": ";
    for (size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2)
                msg += " and ";
            else if (i + 1 == missing.size())
                msg += ", and ";
            else
                msg += ", ";
        }
        msg += "'" + missing[i] + "'";
    }
    raise(PyExc_TypeError, msg);
}

[[noreturn]] void keyword_error(const FunctionData &d, const char *what,
                                PyObject *key) {
    nb::object text = nb::steal(PyUnicode_FromFormat(
        "%s() %s '%U'", d.qualname.c_str(), what, key));
    if (!text.is_valid()) throw nb::python_error();
    raise_object(PyExc_TypeError, text);
}

ptrdiff_t find_keyword(const FunctionData &d, PyObject *key) {
    for (size_t i = 0; i < d.names.size(); ++i)
        if (d.names[i].ptr() == key) return static_cast<ptrdiff_t>(i);
    for (size_t i = 0; i < d.names.size(); ++i) {
        int eq = PyObject_RichCompareBool(d.names[i].ptr(), key, Py_EQ);
        if (eq < 0) throw nb::python_error();
        if (eq) return static_cast<ptrdiff_t>(i);
    }
    return -1;
}

void bind_arguments(const FunctionData &d, PyObject *const *args,
                    size_t nargs, PyObject *kwnames, PyObject **slots) {
    const size_t count = d.names.size();
    if (nargs > count) too_many_positional(d, nargs);
    std::fill(slots, slots + count, nullptr);
    std::copy(args, args + nargs, slots);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            ptrdiff_t idx = find_keyword(d, key);
            if (idx < 0) keyword_error(d, "got an unexpected keyword argument", key);
            if (slots[idx] != nullptr)
                keyword_error(d, "got multiple values for argument", key);
            slots[idx] = args[nargs + static_cast<size_t>(k)];
        }
    }
    std::vector<std::string> missing;
    for (size_t i = 0; i < count; ++i) {
        if (slots[i] != nullptr) continue;
        if (d.defaults[i].is_valid())
            slots[i] = d.defaults[i].ptr();
        else
            missing.push_back(nb::cast<std::string>(d.names[i]));
    }
    if (!missing.empty()) missing_arguments(d, missing);
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args,
                              size_t nargsf, PyObject *kwnames) {
    FunctionData &d = data_of(self);
    const size_t nargs = static_cast<size_t>(PyVectorcall_NARGS(nargsf));
    PyObject *small[16];
    std::vector<PyObject *> large;
    PyObject **slots = small;
    if (d.names.size() > 16) {
        large.resize(d.names.size());
        slots = large.data();
    }
    try {
        bind_arguments(d, args, nargs, kwnames, slots);
        Args bound(slots, d.names.size(), d.globals.ptr());
        nb::object result = d.impl(bound);
        if (!result.is_valid()) return Py_NewRef(Py_None);
        return result.release().ptr();
    } catch (...) {
        restore_current_exception();
        return nullptr;
    }
}

// ---- type slots ---------------------------------------------------------

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *fo = reinterpret_cast<FunctionObject *>(self);
    if (fo->data != nullptr) {
        Py_VISIT(fo->data->globals.ptr());
        Py_VISIT(fo->data->signature.ptr());
        for (auto &def : fo->data->defaults) Py_VISIT(def.ptr());
    }
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int function_clear(PyObject *self) {
    auto *fo = reinterpret_cast<FunctionObject *>(self);
    if (fo->data != nullptr) {
        fo->data->globals.reset();
        fo->data->signature.reset();
        for (auto &def : fo->data->defaults) def.reset();
    }
    return 0;
}

void function_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    auto *fo = reinterpret_cast<FunctionObject *>(self);
    PyTypeObject *type = Py_TYPE(self);
    delete fo->data;
    fo->data = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    // Like a `def` function: looked up on a class it is itself, looked up on
    // an instance it becomes a bound method.
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %s at %p>",
                                data_of(self).qualname.c_str(), self);
}

PyObject *get_name(PyObject *self, void *) {
    return PyUnicode_FromString(data_of(self).name.c_str());
}
PyObject *get_qualname(PyObject *self, void *) {
    return PyUnicode_FromString(data_of(self).qualname.c_str());
}
PyObject *get_module(PyObject *self, void *) {
    return Py_NewRef(data_of(self).module_name.ptr());
}
PyObject *get_doc(PyObject *self, void *) {
    return Py_NewRef(data_of(self).doc.ptr());
}

PyObject *get_signature(PyObject *self, void *) {
    FunctionData &d = data_of(self);
    if (d.signature.is_valid()) return Py_NewRef(d.signature.ptr());
    try {
        nb::module_ inspect = nb::module_::import_("inspect");
        nb::object parameter = inspect.attr("Parameter");
        nb::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
        nb::list params;
        for (size_t i = 0; i < d.names.size(); ++i) {
            if (d.defaults[i].is_valid())
                params.append(parameter(d.names[i], kind,
                                        nb::arg("default") = d.defaults[i]));
            else
                params.append(parameter(d.names[i], kind));
        }
        d.signature = inspect.attr("Signature")(params);
        return Py_NewRef(d.signature.ptr());
    } catch (...) {
        restore_current_exception();
        return nullptr;
    }
}

PyObject *function_reduce(PyObject *self, PyObject *) {
    // Pickled by reference: the qualified name is looked up in __module__.
    return get_qualname(self, nullptr);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(FunctionObject, vectorcall)), READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR,
    function_slots,
};

PyTypeObject *function_type() {
    // One type per extension module (this library is linked statically into
    // each); created on first use while the module initialises.
    static PyTypeObject *type = nullptr;
    if (type == nullptr)
        type = reinterpret_cast<PyTypeObject *>(check(PyType_FromSpec(&function_spec)));
    return type;
}

nb::handle builtins_dict() {
    static PyObject *dict = nullptr;
    if (dict == nullptr) {
        PyObject *mod = check(PyImport_ImportModule("builtins"));
        dict = PyModule_GetDict(mod);  // the module lives for the interpreter's life
    }
    return dict;
}

}  // namespace

nb::object lookup_global(nb::handle globals, const char *name) {
    PyObject *value = PyDict_GetItemString(globals.ptr(), name);
    if (value == nullptr) {
        nb::object deferred = load_deferred(globals, name);
        if (deferred.is_valid()) return deferred;
        value = PyDict_GetItemString(builtins_dict().ptr(), name);
    }
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

nb::object Args::global(const char *name) const {
    return lookup_global(globals_, name);
}

nb::object make_function(nb::handle globals, const std::string &qualname,
                         std::vector<Param> params, Impl impl, const char *doc) {
    auto data = std::make_unique<FunctionData>();
    data->qualname = qualname;
    const auto dot = qualname.rfind('.');
    data->name = dot == std::string::npos ? qualname : qualname.substr(dot + 1);
    for (auto &p : params) {
        PyObject *interned = check(PyUnicode_InternFromString(p.name.c_str()));
        data->names.push_back(nb::steal(interned));
        data->defaults.push_back(std::move(p.default_value));
    }
    data->globals = nb::borrow(globals);
    PyObject *module_name = PyDict_GetItemString(globals.ptr(), "__name__");
    data->module_name = nb::borrow(module_name ? module_name : Py_None);
    data->doc = doc ? nb::object(nb::str(doc)) : nb::none();
    data->impl = impl;

    PyTypeObject *type = function_type();
    auto *fo = PyObject_GC_New(FunctionObject, type);
    if (fo == nullptr) throw nb::python_error();
    fo->vectorcall = function_vectorcall;
    fo->data = data.release();
    PyObject_GC_Track(fo);
    return nb::steal(reinterpret_cast<PyObject *>(fo));
}

}  // namespace pyface
