#include "pyface/unicode.hpp"

#include "pyface/errors.hpp"

namespace pyface {

void append_u32(std::u32string &out, nb::handle str) {
    PyObject *s = str.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        out[at + static_cast<size_t>(i)] = static_cast<char32_t>(PyUnicode_READ(kind, data, i));
}

std::u32string to_u32(nb::handle str) {
    std::u32string out;
    append_u32(out, str);
    return out;
}

nb::object from_u32(std::u32string_view text) {
    return nb::steal(check(PyUnicode_FromKindAndData(
        PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size()))));
}

namespace {
bool py_word(char32_t c) {
    return c == U'_' || Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c));
}
bool py_space(char32_t c) { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)); }
}  // namespace

const wrapper_native::CharClasses &python_classes() {
    static const wrapper_native::CharClasses classes{py_word, py_space};
    return classes;
}

}  // namespace pyface
