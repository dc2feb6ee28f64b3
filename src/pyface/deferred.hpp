// Module globals bound to a library that is imported on first use. Some
// libraries cost hundreds of megabytes and seconds to import; a module that
// only needs them on one path binds them lazily, so importing it stays
// cheap. The name still behaves as a module attribute: reading it (from
// Python through the module's `__getattr__`, from C++ through the global
// lookup) imports the library once and stores the object in the module's
// dict, after which it is an ordinary global that can be patched or deleted
// like any other. `dir()` lists it before it is loaded.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace pyface {
namespace nb = nanobind;

// Called once with the object when a deferred name is first loaded.
using OnLoad = void (*)(nb::handle);

// Binds `name` in the module whose dict is `globals` to `attr` of module
// `source` (the module itself when `attr` is empty), imported on first use.
void defer_global(nb::handle globals, const std::string &name, const std::string &source,
                  const std::string &attr, OnLoad on_load = nullptr);

// The object of a deferred name not yet in the dict, imported and stored
// now; not valid when `name` is no deferred global of that module.
nb::object load_deferred(nb::handle globals, const char *name);

// Whether importing `module` (absolute name) costs enough that modules
// bind it on first use rather than at their own import.
bool is_heavy_library(const std::string &module);

}  // namespace pyface
