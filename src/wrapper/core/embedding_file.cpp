#include "wrapper/core/embedding_file.hpp"

#include "pyface/errors.hpp"
#include "pyface/native_state.hpp"
#include "wrapper/core/joblib_writer.hpp"
#include "wrapper/core/pickle_stream.hpp"
#include "wrapper/core/tensor_stamp.hpp"

namespace wrapper::embedding_file {

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

def tensor_type():
    torch = sys.modules.get("torch")
    return torch.Tensor if torch is not None else None

def kind():
    return "embedding+torch" if "torch" in sys.modules else "embedding"

def fingerprint(models):
    # What the models' pickle depends on, cheaply: for torch modules the
    # identity of every attribute of every submodule and the storage and
    # in-place version of every parameter and buffer (the storages'
    # contents are written from their memory at every write). Models of
    # other kinds are never taken as unchanged (None: nothing is kept).
    parts = []
    for key, model in models.items():
        if not callable(getattr(model, "named_modules", None)):
            return None
        parts.append((key, id(model)))
        for _, module in model.named_modules(remove_duplicate=False):
            parts.append(tuple(map(id, vars(module).values())))
            for tensors in (module.named_parameters(recurse=False),
                            module.named_buffers(recurse=False)):
                for name, t in tensors:
                    parts.append((name, t.data_ptr(), t._version))
    return tuple(parts)
)";

nb::object *g_helpers = nullptr;  // probe, kind, fingerprint, tensor_type

// Kept on the engine (pyface/native_state.hpp), dropped with it.
struct EngineFiles {
    static constexpr const char *kStateName = "embedding_file";
    wrapper::model_file::PrefixCachePtr prefix;
    wrapper::model_file::SubtreeCache tensors;
};

}  // namespace

void init(nb::handle globals) {
    wrapper::model_file::init(globals);
    if (g_helpers != nullptr) return;
    nb::dict ns;
    ns["__builtins__"] = nb::module_::import_("builtins");
    nb::object code = nb::steal(
        pyface::check(Py_CompileString(kHelpers, "<embedding model file>", Py_file_input)));
    nb::steal(pyface::check(PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr())));
    g_helpers = new nb::object[4]{ns["probe"], ns["kind"], ns["fingerprint"], ns["tensor_type"]};
}

void write(const pyface::Args &a, nb::handle engine, nb::handle model, nb::handle filename) {
    const std::string kind = nb::cast<std::string>(g_helpers[1]());
    auto probes = [] { return g_helpers[0](); };
    EngineFiles *cache = pyface::native_state<EngineFiles>(engine);
    if (cache == nullptr || !PyDict_CheckExact(model.ptr())) {
        wrapper::model_file::dump(a, model, filename, kind.c_str(), probes);
        return;
    }
    PyObject *first = nullptr;
    Py_ssize_t pos = 0;
    PyObject *key;
    if (!PyDict_Next(model.ptr(), &pos, &key, &first) || !PyDict_Check(first)) {
        wrapper::model_file::dump(a, model, filename, kind.c_str(), probes);
        return;
    }
    nb::object fingerprint = g_helpers[2](nb::handle(first));
    nb::object tensor = g_helpers[3]();
    wrapper::model_file::SubtreeCache *tensors = nullptr;
    if (!tensor.is_none()) {
        if (!cache->tensors.type.is(tensor)) {
            cache->tensors = wrapper::model_file::SubtreeCache();
            cache->tensors.type = tensor;
            cache->tensors.capture = wrapper::model_file::capture_tensor;
        }
        tensors = &cache->tensors;
    }
    // The models' tensors are written from their storages at every write:
    // a change through .data or a NumPy view moves no version counter the
    // fingerprint could read.
    static const wrapper::model_file::LiveMemory storages{wrapper::model_file::storage_source,
                                                          wrapper::model_file::storage_memory};
    wrapper::model_file::dump_dict(a, model, filename, kind.c_str(), probes, cache->prefix,
                                   fingerprint, tensors, tensor.is_none() ? nullptr : &storages);
}

}  // namespace wrapper::embedding_file
