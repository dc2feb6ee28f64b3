// Python-visible functions written in C++ that behave like `def` functions:
// named parameters with defaults (positional or keyword), the interpreter's
// own argument-error messages, binding as methods through the descriptor
// protocol, `inspect.signature`, pickling by reference, and late-bound
// module globals (each function keeps its module's `__dict__`, as a Python
// function keeps `__globals__`).
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <vector>

namespace pyface {
namespace nb = nanobind;

// One parameter: a name and, optionally, a default value.
struct Param {
    std::string name;
    nb::object default_value;  // not valid: the parameter is required

    Param(const char *n) : name(n) {}  // NOLINT: implicit on purpose
    Param(const char *n, nb::object d) : name(n), default_value(std::move(d)) {}
    Param(const char *n, bool d) : name(n), default_value(nb::bool_(d)) {}
    Param(const char *n, int d) : name(n), default_value(nb::int_(d)) {}
    Param(const char *n, double d) : name(n), default_value(nb::float_(d)) {}
    Param(const char *n, const char *d) : name(n), default_value(nb::str(d)) {}
};

// The bound arguments of one call, in parameter order, plus the globals of
// the function's module.
class Args {
public:
    Args(PyObject *const *values, size_t count, PyObject *globals)
        : values_(values), count_(count), globals_(globals) {}

    nb::handle operator[](size_t i) const { return values_[i]; }
    size_t size() const { return count_; }

    // Looks a name up as Python code in the module would: module globals
    // first, then builtins; NameError when neither has it.
    nb::object global(const char *name) const;
    nb::handle globals() const { return globals_; }

private:
    PyObject *const *values_;
    size_t count_;
    PyObject *globals_;
};

using Impl = nb::object (*)(const Args &);

// Builds a function object. `globals` is the module's __dict__ (its
// "__name__" gives `__module__`); `qualname` is e.g. "File.__init__".
nb::object make_function(nb::handle globals, const std::string &qualname,
                         std::vector<Param> params, Impl impl,
                         const char *doc = nullptr);

// Module global lookup outside a call (same rules as Args::global).
nb::object lookup_global(nb::handle globals, const char *name);

}  // namespace pyface
