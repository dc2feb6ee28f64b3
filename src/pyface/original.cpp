#include "pyface/original.hpp"

#include "pyface/errors.hpp"

namespace pyface {

OriginalGlobal::OriginalGlobal(const char *name, std::initializer_list<const char *> attributes)
    : name_(name), attribute_names_(attributes) {}

void OriginalGlobal::capture(nb::handle module_globals) {
    PyObject *value = PyDict_GetItemString(module_globals.ptr(), name_);
    if (value == nullptr) raise(PyExc_NameError, std::string("name '") + name_ + "' is not bound");
    capture_value(value);
}

void OriginalGlobal::capture_value(nb::handle value) {
    if (value_ != nullptr) return;
    key_ = check(PyUnicode_InternFromString(name_));
    for (const char *attribute : attribute_names_) {
        attribute_keys_.push_back(check(PyUnicode_InternFromString(attribute)));
        attributes_.push_back(nb::getattr(value, attribute_keys_.back()).release().ptr());
    }
    value_ = nb::borrow(value).release().ptr();
}

bool OriginalGlobal::is_pristine(const Args &a) const {
    if (value_ == nullptr) return false;
    PyObject *current = PyDict_GetItemWithError(a.globals().ptr(), key_);
    if (current != value_) {
        PyErr_Clear();  // a key that failed to hash counts as replaced
        return false;
    }
    for (size_t i = 0; i < attributes_.size(); ++i) {
        PyObject *attribute = PyObject_GetAttr(value_, attribute_keys_[i]);
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
    if (function_ != nullptr) return;
    key_ = check(PyUnicode_InternFromString(name_));
    function_ = nb::borrow(function).release().ptr();
}

bool OriginalMethod::is_pristine(nb::handle self) const {
    if (function_ == nullptr || _PyType_Lookup(Py_TYPE(self.ptr()), key_) != function_)
        return false;
    PyObject *dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (dict == nullptr) {
        PyErr_Clear();
        return true;
    }
    const int shadowed = PyDict_Contains(dict, key_);
    Py_DECREF(dict);
    if (shadowed < 0) PyErr_Clear();
    return shadowed == 0;
}

}  // namespace pyface
