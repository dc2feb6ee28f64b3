#include "pyface/original.hpp"

#include "pyface/errors.hpp"

namespace pyface {

OriginalGlobal::OriginalGlobal(const char *name, std::initializer_list<const char *> attributes)
    : name_(name) {
    for (const char *attribute : attributes)
        if (attribute_count_ < kMaxAttributes) attribute_names_[attribute_count_++] = attribute;
}

void OriginalGlobal::capture(nb::handle module_globals) {
    PyObject *value = PyDict_GetItemString(module_globals.ptr(), name_);
    if (value == nullptr) raise(PyExc_NameError, std::string("name '") + name_ + "' is not bound");
    capture_value(value);
}

void OriginalGlobal::capture_value(nb::handle value) {
    if (value_ != nullptr) return;
    for (int i = 0; i < attribute_count_; ++i)
        attributes_[i] = nb::getattr(value, attribute_names_[i]).release().ptr();
    value_ = nb::borrow(value).release().ptr();
}

bool OriginalGlobal::is_pristine(const Args &a) const {
    if (value_ == nullptr) return false;
    PyObject *current = PyDict_GetItemString(a.globals().ptr(), name_);
    if (current != value_) return false;
    for (int i = 0; i < attribute_count_; ++i) {
        PyObject *attribute = PyObject_GetAttrString(value_, attribute_names_[i]);
        if (attribute == nullptr) {
            PyErr_Clear();
            return false;
        }
        const bool same = attribute == attributes_[i];
        Py_DECREF(attribute);
        if (!same) return false;
    }
    return true;
}

bool all_pristine(const Args &a, std::initializer_list<const OriginalGlobal *> globals) {
    for (const OriginalGlobal *global : globals)
        if (!global->is_pristine(a)) return false;
    return true;
}

void OriginalMethod::capture(nb::handle function) {
    if (function_ == nullptr) function_ = nb::borrow(function).release().ptr();
}

bool OriginalMethod::is_pristine(nb::handle self) const {
    nb::str name(name_);
    if (_PyType_Lookup(Py_TYPE(self.ptr()), name.ptr()) != function_ || function_ == nullptr)
        return false;
    PyObject *dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (dict == nullptr) {
        PyErr_Clear();
        return true;
    }
    const int shadowed = PyDict_Contains(dict, name.ptr());
    Py_DECREF(dict);
    if (shadowed < 0) PyErr_Clear();
    return shadowed == 0;
}

}  // namespace pyface
