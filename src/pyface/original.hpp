// A module global as the module bound it, for native fast paths that stand
// in for a library call. The fast path may run only while the module still
// calls the library's own object: a test or a host that patches the global
// (or the library function behind it) gets its replacement called instead,
// exactly as Python code in the module would.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <vector>

#include "pyface/function.hpp"

namespace pyface {
namespace nb = nanobind;

class OriginalGlobal {
public:
    // `name` is the module global; `attributes` are those of its value
    // that the fast path replaces, e.g. {"np", {"inner"}} for a path that
    // does what np.inner would.
    OriginalGlobal(const char *name, std::initializer_list<const char *> attributes = {});
    OriginalGlobal(const OriginalGlobal &) = delete;
    OriginalGlobal &operator=(const OriginalGlobal &) = delete;

    // Remembers the global's current value in `module_globals` (at module
    // init, once the name is bound), or `value` itself (a library loaded on
    // first use, from its OnLoad hook), with its attributes. The first
    // capture wins; the references are kept for the interpreter's life.
    void capture(nb::handle module_globals);
    void capture_value(nb::handle value);

    bool captured() const { return value_ != nullptr; }
    // The value as captured (valid once captured).
    nb::handle value() const { return value_; }

    // True when the module's global is still the captured value and each
    // named attribute of it is still the captured attribute.
    bool is_pristine(const Args &a) const;

private:
    const char *name_;
    PyObject *key_ = nullptr;  // name_ interned at capture: no string per check
    std::vector<const char *> attribute_names_;
    std::vector<PyObject *> attribute_keys_;  // the same, interned at capture
    std::vector<PyObject *> attributes_;      // as captured, kept for the interpreter's life
    PyObject *value_ = nullptr;
};

// True when every one of `globals` is pristine.
bool all_pristine(const Args &a, std::initializer_list<const OriginalGlobal *> globals);

// A method as its class defined it, for a fast path that does natively what
// another method would get by calling `self.<name>(...)`: it may only while
// that call would reach this function (not a subclass's override, nor a
// function set on the instance).
class OriginalMethod {
public:
    explicit OriginalMethod(const char *name) : name_(name) {}
    OriginalMethod(const OriginalMethod &) = delete;
    OriginalMethod &operator=(const OriginalMethod &) = delete;

    // The function in the class namespace, once the class is built.
    void capture(nb::handle function);
    bool is_pristine(nb::handle self) const;

private:
    const char *name_;
    PyObject *key_ = nullptr;       // name_ interned at capture
    PyObject *function_ = nullptr;  // kept for the interpreter's life
};

}  // namespace pyface
