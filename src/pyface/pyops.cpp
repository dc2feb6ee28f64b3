#include "pyface/pyops.hpp"

#include "pyface/errors.hpp"

namespace pyface {

bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    check_status(r);
    return r != 0;
}

nb::object add(nb::handle a, nb::handle b) {
    return nb::steal(check(PyNumber_Add(a.ptr(), b.ptr())));
}

nb::object concat(std::string_view prefix, nb::handle value) {
    return add(make_str(prefix), value);
}

nb::object concat(nb::handle value, std::string_view suffix) {
    return add(value, make_str(suffix));
}

nb::object format(nb::handle value) {
    return nb::steal(check(PyObject_Format(value.ptr(), nullptr)));
}

nb::object str(nb::handle value) {
    return nb::steal(check(PyObject_Str(value.ptr())));
}

bool equals(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    check_status(r);
    return r != 0;
}

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    check_status(r);
    return r != 0;
}

std::vector<nb::object> unpack(nb::handle value, size_t count) {
    PyObject *iter = PyObject_GetIter(value.ptr());
    if (iter == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        const std::string type_name = Py_TYPE(value.ptr())->tp_name;
        raise(PyExc_TypeError, "cannot unpack non-iterable " + type_name + " object");
    }
    nb::object it = nb::steal(iter);
    std::vector<nb::object> items;
    while (items.size() <= count) {
        PyObject *item = PyIter_Next(it.ptr());
        if (item == nullptr) {
            if (PyErr_Occurred()) throw nb::python_error();
            break;
        }
        items.push_back(nb::steal(item));
    }
    if (items.size() < count)
        raise(PyExc_ValueError, "not enough values to unpack (expected " +
                                            std::to_string(count) + ", got " +
                                            std::to_string(items.size()) + ")");
    if (items.size() > count)
        raise(PyExc_ValueError,
                      "too many values to unpack (expected " + std::to_string(count) + ")");
    return items;
}

std::string utf8(nb::handle s) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (data != nullptr) return std::string(data, static_cast<size_t>(size));
    // Lone surrogates cannot be UTF-8; keep them visible rather than fail.
    PyErr_Clear();
    nb::object bytes = nb::steal(
        check(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "backslashreplace")));
    return std::string(PyBytes_AS_STRING(bytes.ptr()),
                       static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

nb::object make_str(std::string_view text) {
    return nb::steal(check(PyUnicode_DecodeUTF8(
        text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape")));
}

void log(const Args &args, const char *level, nb::handle message) {
    args.global("logging").attr(level)(message);
}

void log(const Args &args, const char *level, std::string_view message) {
    log(args, level, make_str(message));
}

void print(const Args &args, nb::handle value) {
    args.global("print")(value);
}

}  // namespace pyface
