#include "wrapper/core/tensor_stamp.hpp"

#include <cstring>

namespace wrapper::model_file {

namespace {

struct Names {
    PyObject *untyped_storage, *data_ptr, *nbytes, *cdata, *storage_offset, *shape, *stride,
        *dtype, *requires_grad, *backward_hooks, *is_cpu, *dict, *layout, *is_nested,
        *is_quantized;
    PyObject *metadata;  // torch._C._get_tensor_metadata
    PyObject *strided;   // torch.strided
};
Names *g_names = nullptr;  // per process, never destroyed

PyObject *intern(const char *s) {
    PyObject *name = PyUnicode_InternFromString(s);
    if (name == nullptr) throw nb::python_error();
    return name;
}

const Names *names() {
    if (g_names == nullptr) {
        nb::module_ torch = nb::module_::import_("torch");
        auto *n = new Names{intern("untyped_storage"), intern("data_ptr"), intern("nbytes"),
                            intern("_cdata"), intern("storage_offset"), intern("shape"),
                            intern("stride"), intern("dtype"), intern("requires_grad"),
                            intern("_backward_hooks"), intern("is_cpu"), intern("__dict__"),
                            intern("layout"), intern("is_nested"), intern("is_quantized"),
                            nb::getattr(torch.attr("_C"), "_get_tensor_metadata", nb::none())
                                .release()
                                .ptr(),
                            nb::object(torch.attr("strided")).release().ptr()};
        g_names = n;
    }
    return g_names;
}

// An attribute, or a method called without arguments; invalid (and no
// error pending) when it cannot be read.
nb::object attr(PyObject *o, PyObject *name) {
    PyObject *r = PyObject_GetAttr(o, name);
    if (r == nullptr) PyErr_Clear();
    return nb::steal(r);
}

nb::object call(PyObject *o, PyObject *name) {
    PyObject *args[] = {o};
    PyObject *r =
        PyObject_VectorcallMethod(name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (r == nullptr) PyErr_Clear();
    return nb::steal(r);
}

bool as_size(const nb::object &v, unsigned long long *out) {
    if (!v.is_valid() || !PyLong_Check(v.ptr())) return false;
    *out = PyLong_AsUnsignedLongLong(v.ptr());
    if (*out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// The storage a tensor views: where its bytes are, how many, and which
// storage it is (its address names it inside the pickle).
struct Storage {
    unsigned long long data = 0, nbytes = 0, cdata = 0;
};

// torch gives a storage's bytes as an address in a Python int.
const char *address(unsigned long long v) {
    return reinterpret_cast<const char *>(v);  // NOLINT(performance-no-int-to-ptr): no other way in
}

bool read_storage(const nb::object &storage, const Names &n, Storage *s) {
    return as_size(call(storage.ptr(), n.data_ptr), &s->data) &&
           as_size(call(storage.ptr(), n.nbytes), &s->nbytes);
}

// Whether `t` has attributes of its own (its dict is read where it lies,
// without making one for a tensor that has none).
bool has_attributes(PyObject *t, const Names &n) {
#if PY_VERSION_HEX < 0x030D0000
    if (PyObject **slot = _PyObject_GetDictPtr(t); slot != nullptr)
        return *slot != nullptr && (!PyDict_Check(*slot) || PyDict_GET_SIZE(*slot) != 0);
    PyErr_Clear();
#endif
    nb::object dict = attr(t, n.dict);
    return !dict.is_valid() || !PyDict_Check(dict.ptr()) || PyDict_GET_SIZE(dict.ptr()) != 0;
}

// Nothing that makes the reduce write more than storage and geometry: no
// attributes (written as state), no hooks (a warning), no conj/neg bits.
bool plain(PyObject *t, const Names &n) {
    // Loaded tensors carry an empty dict of hooks; only hooks that are
    // there make the reduce warn.
    nb::object hooks = attr(t, n.backward_hooks);
    if (!hooks.is_valid()) return false;
    if (!hooks.is_none()) {
        const int empty = PyObject_Not(hooks.ptr());
        if (empty != 1) {
            if (empty < 0) PyErr_Clear();
            return false;
        }
    }
    if (has_attributes(t, n)) return false;
    if (n.metadata == Py_None) return false;
    PyObject *args[] = {t};
    nb::object meta = nb::steal(PyObject_Vectorcall(n.metadata, args, 1, nullptr));
    if (!meta.is_valid()) {
        PyErr_Clear();
        return false;
    }
    return PyDict_Check(meta.ptr()) && PyDict_GET_SIZE(meta.ptr()) == 0;
}

bool same(const nb::object &now, const nb::object &kept) {
    if (!now.is_valid()) return false;
    const int r = PyObject_RichCompareBool(now.ptr(), kept.ptr(), Py_EQ);
    if (r < 0) PyErr_Clear();
    return r == 1;
}

bool same_int(const nb::object &now, long long kept) {
    if (!now.is_valid() || !PyLong_Check(now.ptr())) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(now.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) PyErr_Clear();
    return overflow == 0 && v == kept;
}

class KeptTensor final : public KeptState {
public:
    // The storage's Python object, kept: torch gives a storage the same
    // object while it is alive, so the same object is the same storage.
    nb::object storage_object;
    Storage storage;
    size_t data_at = 0;  // where the storage's bytes are in the kept pickle
    long long offset = 0;
    Py_ssize_t length = -1;  // the shape of a vector, else -1
    nb::object shape, stride, dtype, requires_grad;

    bool unchanged(PyObject *t, const std::string &bytes) const override {
        const Names &n = *names();
        nb::object object = call(t, n.untyped_storage);
        if (!object.is_valid()) return false;
        if (!object.is(storage_object)) {
            // Another object for the same storage, or another storage (put
            // in through .data, perhaps off the CPU, where the address is
            // not ours to read).
            unsigned long long cdata;
            if (!as_size(attr(object.ptr(), n.cdata), &cdata) || cdata != storage.cdata ||
                !attr(t, n.is_cpu).is(nb::handle(Py_True)))
                return false;
        }
        Storage now;
        if (!read_storage(object, n, &now) || now.nbytes != storage.nbytes) return false;
        if (now.nbytes > 0 && std::memcmp(address(now.data),
                                          bytes.data() + data_at, now.nbytes) != 0)
            return false;
        if (!attr(t, n.dtype).is(dtype) || !attr(t, n.requires_grad).is(requires_grad) ||
            !same_int(call(t, n.storage_offset), offset) || !same(call(t, n.stride), stride))
            return false;
        // Equal strides give the number of dimensions; the shape of a
        // vector is its length, read without building a size object.
        if (length >= 0) {
            const Py_ssize_t now_length = PyObject_Length(t);
            if (now_length < 0) PyErr_Clear();
            if (now_length != length) return false;
        } else if (!same(attr(t, n.shape), shape)) {
            return false;
        }
        return plain(t, n);
    }
};

}  // namespace

std::unique_ptr<KeptState> capture_tensor(PyObject *t, const std::string &bytes,
                                          const std::vector<Span> &payloads) {
    const Names &n = *names();
    auto kept = std::make_unique<KeptTensor>();
    kept->storage_object = call(t, n.untyped_storage);
    if (!kept->storage_object.is_valid() ||
        !read_storage(kept->storage_object, n, &kept->storage) ||
        !as_size(attr(kept->storage_object.ptr(), n.cdata), &kept->storage.cdata))
        return nullptr;
    if (!attr(t, n.is_cpu).is(nb::handle(Py_True)) ||
        !attr(t, n.is_nested).is(nb::handle(Py_False)) ||
        !attr(t, n.is_quantized).is(nb::handle(Py_False)) ||
        !attr(t, n.layout).is(nb::handle(n.strided)) || !plain(t, n))
        return nullptr;
    nb::object offset = call(t, n.storage_offset);
    int overflow = 0;
    if (!offset.is_valid() || !PyLong_Check(offset.ptr()) ||
        (kept->offset = PyLong_AsLongLongAndOverflow(offset.ptr(), &overflow), overflow != 0)) {
        PyErr_Clear();
        return nullptr;
    }
    kept->shape = attr(t, n.shape);
    kept->stride = call(t, n.stride);
    kept->dtype = attr(t, n.dtype);
    kept->requires_grad = attr(t, n.requires_grad);
    if (!kept->shape.is_valid() || !kept->stride.is_valid() ||
        !kept->dtype.is_valid() || !kept->requires_grad.is_valid())
        return nullptr;
    if (PyTuple_Check(kept->shape.ptr()) && PyTuple_GET_SIZE(kept->shape.ptr()) == 1) {
        kept->length = PyLong_AsSsize_t(PyTuple_GET_ITEM(kept->shape.ptr(), 0));
        if (kept->length < 0) {
            PyErr_Clear();
            kept->length = -1;
        }
    }
    // The storage's bytes end the payload the storage was saved as (after
    // its element count); the last payload that ends with them is that one.
    const auto size = static_cast<size_t>(kept->storage.nbytes);
    const char *data = address(kept->storage.data);
    for (auto it = payloads.rbegin(); it != payloads.rend(); ++it) {
        if (it->size < size + 8 || it->at + it->size > bytes.size()) continue;
        const size_t at = it->at + it->size - size;
        if (size == 0 || std::memcmp(bytes.data() + at, data, size) == 0) {
            kept->data_at = at;
            return kept;
        }
    }
    return nullptr;
}

}  // namespace wrapper::model_file
