#include "wrapper/core/embedding_file.hpp"

#include <unordered_map>

#include "pyface/errors.hpp"
#include "wrapper/core/joblib_writer.hpp"

namespace embedding_file {

namespace {

// Python helpers: the probe objects and the state of the models.
const char *const kHelpers = R"(
import sys

def probe():
    models, embedded = {}, {"main": []}
    if "torch" in sys.modules:
        import torch
        torch.manual_seed(0)
        models["main"] = torch.nn.Sequential(torch.nn.Linear(3, 2), torch.nn.ReLU())
        embedded["main"] = [torch.randn(1, 4)[0], torch.arange(4.0), torch.ones(2, dtype=torch.float16)]
    return {"multilang_models": models, "embedded_documents": embedded,
            "document_names": {"main": ["a", "b", "ação"]}}

def kind():
    return "embedding+torch" if "torch" in sys.modules else "embedding"

def fingerprint(models):
    # What the models' pickle depends on, cheaply: for torch modules the
    # identity of every attribute of every submodule and the storage and
    # in-place version of every parameter and buffer. Models of other
    # kinds are never taken as unchanged.
    parts = []
    for key, model in models.items():
        if not callable(getattr(model, "named_modules", None)):
            return object()
        parts.append((key, id(model)))
        for _, module in model.named_modules(remove_duplicate=False):
            parts.append(tuple(map(id, vars(module).values())))
            for tensors in (module.named_parameters(recurse=False),
                            module.named_buffers(recurse=False)):
                for name, t in tensors:
                    parts.append((name, t.data_ptr(), t._version))
    return tuple(parts)
)";

nb::object *g_helpers = nullptr;  // probe, kind, fingerprint (never destroyed)

std::unordered_map<PyObject *, model_file::PrefixCachePtr> *g_caches = nullptr;
std::unordered_map<PyObject *, PyObject *> *g_owner_of_ref = nullptr;

PyObject *forget(PyObject *, PyObject *ref) {
    auto it = g_owner_of_ref->find(ref);
    if (it != g_owner_of_ref->end()) {
        g_caches->erase(it->second);
        g_owner_of_ref->erase(it);
        Py_DECREF(ref);
    }
    Py_RETURN_NONE;
}
PyMethodDef g_forget_def = {"_forget_embedding_engine", forget, METH_O, nullptr};

// The cache of `engine`, dropped with it; null when it cannot be tracked.
model_file::PrefixCachePtr *cache_of(nb::handle engine) {
    auto it = g_caches->find(engine.ptr());
    if (it != g_caches->end()) return &it->second;
    static PyObject *callback = PyCFunction_New(&g_forget_def, nullptr);
    if (callback == nullptr) throw nb::python_error();
    PyObject *ref = PyWeakref_NewRef(engine.ptr(), callback);
    if (ref == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    (*g_owner_of_ref)[ref] = engine.ptr();
    return &(*g_caches)[engine.ptr()];
}

}  // namespace

void init(nb::handle globals) {
    model_file::init(globals);
    if (g_helpers != nullptr) return;
    nb::dict ns;
    ns["__builtins__"] = nb::module_::import_("builtins");
    nb::object code = nb::steal(
        pyface::check(Py_CompileString(kHelpers, "<embedding model file>", Py_file_input)));
    nb::steal(pyface::check(PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr())));
    g_helpers = new nb::object[3]{ns["probe"], ns["kind"], ns["fingerprint"]};
    g_caches = new std::unordered_map<PyObject *, model_file::PrefixCachePtr>();
    g_owner_of_ref = new std::unordered_map<PyObject *, PyObject *>();
}

void write(const pyface::Args &a, nb::handle engine, nb::handle model, nb::handle filename) {
    const std::string kind = nb::cast<std::string>(g_helpers[1]());
    auto probes = [] { return g_helpers[0](); };
    model_file::PrefixCachePtr *cache = cache_of(engine);
    if (cache == nullptr || !PyDict_CheckExact(model.ptr())) {
        model_file::dump(a, model, filename, kind.c_str(), probes);
        return;
    }
    PyObject *first = nullptr;
    Py_ssize_t pos = 0;
    PyObject *key;
    if (!PyDict_Next(model.ptr(), &pos, &key, &first) || !PyDict_Check(first)) {
        model_file::dump(a, model, filename, kind.c_str(), probes);
        return;
    }
    nb::object fingerprint = g_helpers[2](nb::handle(first));
    model_file::dump_dict(a, model, filename, kind.c_str(), probes, *cache, fingerprint);
}

}  // namespace embedding_file
