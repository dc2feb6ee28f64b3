// Building a module's namespace the way a Python module body would: its
// imports become real module attributes (looked up again at call time, so
// they can be patched), its functions are `pyface` functions, and its
// classes are ordinary Python classes made by calling their metaclass.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "pyface/deferred.hpp"
#include "pyface/function.hpp"

namespace pyface {
namespace nb = nanobind;

class ModuleBuilder {
public:
    // Inline, so that it reads the nanobind backend state of the module being
    // initialised and hands it to this shared library, whose own copy
    // nothing else sets.
    explicit ModuleBuilder(nb::module_ module)
        : ModuleBuilder(nb::detail::internals, std::move(module)) {}

    nb::handle globals() const { return globals_; }
    const std::string &name() const { return name_; }

    // `import name` (or `import name as alias`); returns the module.
    nb::object import_module(const char *name, const char *alias = nullptr);
    // `import name` bound on first use (see deferred.hpp); `on_load` sees
    // the module when it is first loaded.
    void defer_import_module(const char *name, const char *alias = nullptr,
                             OnLoad on_load = nullptr);
    // `from source import a, b`; `source` may be relative (".Tongue",
    // "..infra"). A name that is no attribute is imported as a submodule.
    // Names from a heavy library (is_heavy_library) are bound on first use.
    void import_from(const char *source, std::initializer_list<const char *> names);
    // `from source import name as alias`
    void import_from_as(const char *source, const char *name, const char *alias);

    void set(const char *name, nb::handle value);
    void def(const char *name, std::vector<Param> params, Impl impl,
             const char *doc = nullptr);

    // Absolute module name for a possibly relative one.
    std::string resolve(const char *source) const;

private:
    ModuleBuilder(nb::detail::nb_internals *backend, nb::module_ module);
    nb::module_ module_;
    nb::dict globals_;
    std::string name_;
};

class ClassBuilder {
public:
    // `metaclass` defaults to `type`; its __prepare__ supplies the namespace
    // (so enum classes get their member-collecting dict).
    ClassBuilder(ModuleBuilder &module, const char *name,
                 nb::tuple bases = nb::tuple(), nb::handle metaclass = nb::handle());

    ClassBuilder &attr(const char *name, nb::handle value);
    ClassBuilder &annotate(const char *name, nb::handle type);
    // Instance method: list "self" as the first parameter.
    ClassBuilder &method(const char *name, std::vector<Param> params, Impl impl,
                         const char *doc = nullptr);
    ClassBuilder &static_method(const char *name, std::vector<Param> params,
                                Impl impl, const char *doc = nullptr);
    // Class method: list "cls" as the first parameter.
    ClassBuilder &class_method(const char *name, std::vector<Param> params,
                               Impl impl, const char *doc = nullptr);

    // Declares the private slot of native_state.hpp (instances keep their
    // __dict__ and weak references) and a __getstate__ that leaves it out.
    ClassBuilder &native_state_slot();

    // Creates the class and binds it in the module.
    nb::object build();

private:
    nb::object function(const char *name, std::vector<Param> params, Impl impl,
                        const char *doc);

    ModuleBuilder &module_;
    std::string name_;
    nb::tuple bases_;
    nb::object metaclass_;
    nb::object namespace_;
    nb::dict annotations_;
};

}  // namespace pyface
