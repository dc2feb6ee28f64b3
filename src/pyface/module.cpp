#include "pyface/module.hpp"

#include "pyface/deferred.hpp"
#include "pyface/errors.hpp"

namespace pyface {

namespace {

nb::module_ with_backend(nb::detail::nb_internals *backend, nb::module_ module) {
    // Every module of the package shares nanobind's default domain: one state.
    nb::detail::internals = backend;
    return module;
}

}  // namespace

ModuleBuilder::ModuleBuilder(nb::detail::nb_internals *backend, nb::module_ module)
    : module_(with_backend(backend, std::move(module))),
      globals_(nb::borrow<nb::dict>(PyModule_GetDict(module_.ptr()))),
      name_(nb::cast<std::string>(module_.attr("__name__"))) {}

std::string ModuleBuilder::resolve(const char *source) const {
    std::string s(source);
    size_t level = 0;
    while (level < s.size() && s[level] == '.') ++level;
    if (level == 0) return s;
    // The package of a plain module is its name without the last component.
    std::string base = name_;
    for (size_t i = 0; i < level; ++i) {
        const auto dot = base.rfind('.');
        if (dot == std::string::npos)
            raise(PyExc_ImportError, "attempted relative import beyond top-level package");
        base.resize(dot);
    }
    const std::string rest = s.substr(level);
    return rest.empty() ? base : base + "." + rest;
}

nb::object ModuleBuilder::import_module(const char *name, const char *alias) {
    nb::object mod = nb::module_::import_(resolve(name).c_str());
    set(alias ? alias : name, mod);
    return mod;
}

void ModuleBuilder::defer_import_module(const char *name, const char *alias,
                                        OnLoad on_load) {
    defer_global(globals_, alias ? alias : name, resolve(name), "", on_load);
}

static nb::object import_name(const std::string &source, const char *name) {
    nb::object mod = nb::module_::import_(source.c_str());
    PyObject *value = PyObject_GetAttrString(mod.ptr(), name);
    if (value != nullptr) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::module_::import_((source + "." + name).c_str());
}

void ModuleBuilder::import_from(const char *source,
                                std::initializer_list<const char *> names) {
    const std::string abs = resolve(source);
    for (const char *n : names) {
        if (is_heavy_library(abs))
            defer_global(globals_, n, abs, n);
        else
            set(n, import_name(abs, n));
    }
}

void ModuleBuilder::import_from_as(const char *source, const char *name,
                                   const char *alias) {
    const std::string abs = resolve(source);
    if (is_heavy_library(abs))
        defer_global(globals_, alias, abs, name);
    else
        set(alias, import_name(abs, name));
}

void ModuleBuilder::set(const char *name, nb::handle value) {
    check_status(PyDict_SetItemString(globals_.ptr(), name, value.ptr()));
}

void ModuleBuilder::def(const char *name, std::vector<Param> params, Impl impl,
                        const char *doc) {
    set(name, make_function(globals_, name, std::move(params), impl, doc));
}

ClassBuilder::ClassBuilder(ModuleBuilder &module, const char *name,
                           nb::tuple bases, nb::handle metaclass)
    : module_(module), name_(name), bases_(std::move(bases)) {
    metaclass_ = metaclass.is_valid()
                     ? nb::borrow(metaclass)
                     : nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type));
    if (nb::hasattr(metaclass_, "__prepare__"))
        namespace_ = metaclass_.attr("__prepare__")(name_.c_str(), bases_);
    else
        namespace_ = nb::dict();
    // A class body starts with these two, in this order.
    attr("__module__", nb::str(module_.name().c_str()));
    attr("__qualname__", nb::str(name));
}

ClassBuilder &ClassBuilder::attr(const char *name, nb::handle value) {
    check_status(PyObject_SetItem(namespace_.ptr(), nb::str(name).ptr(), value.ptr()));
    return *this;
}

ClassBuilder &ClassBuilder::annotate(const char *name, nb::handle type) {
    annotations_[name] = type;
    return *this;
}

nb::object ClassBuilder::function(const char *name, std::vector<Param> params,
                                  Impl impl, const char *doc) {
    return make_function(module_.globals(), name_ + "." + name, std::move(params),
                         impl, doc);
}

ClassBuilder &ClassBuilder::method(const char *name, std::vector<Param> params,
                                   Impl impl, const char *doc) {
    return attr(name, function(name, std::move(params), impl, doc));
}

ClassBuilder &ClassBuilder::static_method(const char *name, std::vector<Param> params,
                                          Impl impl, const char *doc) {
    nb::object fn = function(name, std::move(params), impl, doc);
    nb::object sm = nb::steal(check(PyStaticMethod_New(fn.ptr())));
    return attr(name, sm);
}

ClassBuilder &ClassBuilder::class_method(const char *name, std::vector<Param> params,
                                         Impl impl, const char *doc) {
    nb::object fn = function(name, std::move(params), impl, doc);
    nb::object cm = nb::steal(check(PyClassMethod_New(fn.ptr())));
    return attr(name, cm);
}

nb::object ClassBuilder::build() {
    if (nb::len(annotations_) > 0) attr("__annotations__", annotations_);
    nb::tuple bases = bases_;
    nb::object cls = metaclass_(name_.c_str(), bases, namespace_);
    module_.set(name_.c_str(), cls);
    return cls;
}

}  // namespace pyface
