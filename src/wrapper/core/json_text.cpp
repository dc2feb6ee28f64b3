#include "wrapper/core/json_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_set>

namespace wrapper::json_text {

namespace {

// A value the native encoder leaves to json.
struct NotPlain {};

class Encoder {
public:
    explicit Encoder(int indent) : indent_(indent) {}
    std::string out;

    void value(PyObject *o, int level) {
        PyTypeObject *type = Py_TYPE(o);
        if (type == &PyUnicode_Type) {
            string(o);
        } else if (type == &PyList_Type || type == &PyTuple_Type) {
            sequence(o, level);
        } else if (type == &PyDict_Type) {
            mapping(o, level);
        } else if (!scalar(o)) {
            throw NotPlain{};
        }
    }

private:
    void newline(int level) {
        out.push_back('\n');
        out.append(static_cast<size_t>(indent_) * static_cast<size_t>(level), ' ');
    }

    // Containers on the path from the top: json refuses a cycle, and
    // raises RecursionError on nesting deeper than the interpreter allows.
    void enter(PyObject *o) {
        if (path_.size() >= kMaxDepth || !path_.insert(o).second) throw NotPlain{};
    }
    void leave(PyObject *o) { path_.erase(o); }

    void sequence(PyObject *o, int level) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        if (n == 0) {
            out += "[]";
            return;
        }
        enter(o);
        out.push_back('[');
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0) out.push_back(',');
            newline(level + 1);
            value(PySequence_Fast_GET_ITEM(o, i), level + 1);
        }
        newline(level);
        out.push_back(']');
        leave(o);
    }

    void mapping(PyObject *o, int level) {
        if (PyDict_GET_SIZE(o) == 0) {
            out += "{}";
            return;
        }
        enter(o);
        out.push_back('{');
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool first = true;
        while (PyDict_Next(o, &pos, &k, &v)) {
            if (!first) out.push_back(',');
            first = false;
            newline(level + 1);
            key(k);
            out += ": ";
            value(v, level + 1);
        }
        newline(level);
        out.push_back('}');
        leave(o);
    }

    // None, booleans and numbers: false for anything else.
    bool scalar(PyObject *o) {
        PyTypeObject *type = Py_TYPE(o);
        if (o == Py_None) {
            out += "null";
        } else if (o == Py_True) {
            out += "true";
        } else if (o == Py_False) {
            out += "false";
        } else if (type == &PyLong_Type) {
            integer(o);
        } else if (type == &PyFloat_Type) {
            real(PyFloat_AS_DOUBLE(o));
        } else {
            return false;
        }
        return true;
    }

    // Keys are written as strings: numbers and constants as their JSON text.
    void key(PyObject *k) {
        if (Py_TYPE(k) == &PyUnicode_Type) {
            string(k);
            return;
        }
        out.push_back('"');
        if (!scalar(k)) throw NotPlain{};
        out.push_back('"');
    }

    void integer(PyObject *o) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow != 0) throw NotPlain{};  // json's repr has a digit limit
        char buf[24];
        const auto r = std::to_chars(buf, buf + sizeof buf, v);
        out.append(buf, r.ptr);
    }

    void real(double d) {
        if (std::isnan(d)) {
            out += "NaN";
        } else if (std::isinf(d)) {
            out += d > 0 ? "Infinity" : "-Infinity";
        } else {
            // float.__repr__: the shortest text that reads back the same.
            char *text = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (text == nullptr) {
                PyErr_Clear();
                throw NotPlain{};
            }
            out += text;
            PyMem_Free(text);
        }
    }

    // ensure_ascii: printable ASCII as is, the rest escaped (code points
    // beyond the BMP as surrogate pairs), hex digits in lower case.
    void string(PyObject *s) {
        out.push_back('"');
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        const int kind = PyUnicode_KIND(s);
        const void *data = PyUnicode_DATA(s);
        if (PyUnicode_IS_ASCII(s)) {
            const char *c = static_cast<const char *>(data);
            Py_ssize_t start = 0;
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (plain(static_cast<unsigned char>(c[i]))) continue;
                out.append(c + start, static_cast<size_t>(i - start));
                escape(static_cast<unsigned char>(c[i]));
                start = i + 1;
            }
            out.append(c + start, static_cast<size_t>(n - start));
        } else {
            for (Py_ssize_t i = 0; i < n; ++i) {
                const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
                if (ch < 0x80 && plain(ch)) {
                    out.push_back(static_cast<char>(ch));
                } else if (ch >= 0x10000) {
                    const Py_UCS4 v = ch - 0x10000;
                    hex4(0xd800 | ((v >> 10) & 0x3ff));
                    hex4(0xdc00 | (v & 0x3ff));
                } else {
                    escape(ch);
                }
            }
        }
        out.push_back('"');
    }

    static bool plain(Py_UCS4 c) { return c >= ' ' && c <= '~' && c != '\\' && c != '"'; }

    void escape(Py_UCS4 c) {
        switch (c) {
        case '\\': out += "\\\\"; return;
        case '"': out += "\\\""; return;
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        default: hex4(c);
        }
    }

    void hex4(Py_UCS4 c) {
        static const char digits[] = "0123456789abcdef";
        const char text[6] = {'\\', 'u', digits[(c >> 12) & 0xf], digits[(c >> 8) & 0xf],
                              digits[(c >> 4) & 0xf], digits[c & 0xf]};
        out.append(text, sizeof text);
    }

    static constexpr size_t kMaxDepth = 200;
    int indent_;
    std::unordered_set<PyObject *> path_;
};

}  // namespace

nb::object dumps(nb::handle value, int indent) {
    Encoder encoder(indent);
    try {
        encoder.value(value.ptr(), 0);
    } catch (NotPlain &) {
        return nb::object();
    }
    return nb::str(encoder.out.data(), encoder.out.size());
}

}  // namespace wrapper::json_text
