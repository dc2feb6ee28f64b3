#include "wrapper/core/tensor_stamp.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace wrapper::model_file {

namespace {

// One attribute or method (called without arguments) of the objects a
// check reads, taken from the descriptor the type holds for it instead of
// being looked up by name on every read (ten reads per stored tensor, tens
// of thousands of tensors per write). The descriptor is found again when
// the object's type is another or its attributes changed (the type's
// version tag moves); a type whose attribute access is its own, or a name
// the type does not hold as a C descriptor, is read by name.
class Reader {
public:
    explicit Reader(const char *name) : name_(PyUnicode_InternFromString(name)) {
        if (name_ == nullptr) throw nb::python_error();
    }
    // The attribute; invalid (and no error pending) when it cannot be read.
    nb::object get(PyObject *o) {
        PyObject *r;
        if (resolve(Py_TYPE(o)) == Kind::GetSet) {
            PyGetSetDef *def = reinterpret_cast<PyGetSetDescrObject *>(descr_.ptr())->d_getset;
            r = def->get(o, def->closure);
        } else {
            r = PyObject_GetAttr(o, name_);
        }
        if (r == nullptr) PyErr_Clear();
        return nb::steal(r);
    }
    // The method's result, called without arguments; likewise.
    nb::object call(PyObject *o) {
        PyObject *args[] = {o};
        PyObject *r =
            resolve(Py_TYPE(o)) == Kind::Method
                ? PyObject_Vectorcall(descr_.ptr(), args, 1, nullptr)
                : PyObject_VectorcallMethod(name_, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            nullptr);
        if (r == nullptr) PyErr_Clear();
        return nb::steal(r);
    }

private:
    enum class Kind { ByName, GetSet, Method };
    Kind resolve(PyTypeObject *type) {
        if (type == type_ && type->tp_version_tag == tag_ && tag_ != 0) return kind_;
        type_ = type;
        tag_ = type->tp_version_tag;
        kind_ = Kind::ByName;
        descr_ = nb::object();
        if (tag_ == 0 || type->tp_getattro != PyObject_GenericGetAttr) return kind_;
        PyObject *mro = type->tp_mro;
        for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
            PyObject *dict = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i))->tp_dict;
            PyObject *found = dict != nullptr ? PyDict_GetItemWithError(dict, name_) : nullptr;
            if (found == nullptr) {
                PyErr_Clear();
                continue;
            }
            if (Py_IS_TYPE(found, &PyGetSetDescr_Type)) {
                kind_ = Kind::GetSet;
            } else if (Py_IS_TYPE(found, &PyMethodDescr_Type)) {
                kind_ = Kind::Method;
            } else {
                break;
            }
            descr_ = nb::borrow(found);
            break;
        }
        return kind_;
    }
    PyObject *name_;
    PyTypeObject *type_ = nullptr;
    unsigned int tag_ = 0;
    Kind kind_ = Kind::ByName;
    nb::object descr_;
};

struct Names {
    Reader untyped_storage{"untyped_storage"}, data_ptr{"data_ptr"}, nbytes{"nbytes"},
        cdata{"_cdata"}, storage_offset{"storage_offset"}, shape{"shape"}, stride{"stride"},
        dtype{"dtype"}, requires_grad{"requires_grad"}, backward_hooks{"_backward_hooks"},
        is_cpu{"is_cpu"}, layout{"layout"}, is_nested{"is_nested"}, is_quantized{"is_quantized"};
    PyObject *dict = nullptr;
    PyObject *metadata = nullptr;  // torch._C._get_tensor_metadata
    PyObject *strided = nullptr;   // torch.strided
    PyObject *typed_storage = nullptr, *untyped_storage_type = nullptr;
    PyObject *untyped_attr = nullptr, *device_attr = nullptr, *type_attr = nullptr;
};
Names *g_names = nullptr;  // per process, never destroyed

Names *names() {
    if (g_names == nullptr) {
        nb::module_ torch = nb::module_::import_("torch");
        auto *n = new Names;
        n->dict = PyUnicode_InternFromString("__dict__");
        if (n->dict == nullptr) throw nb::python_error();
        n->metadata =
            nb::getattr(torch.attr("_C"), "_get_tensor_metadata", nb::none()).release().ptr();
        n->strided = nb::object(torch.attr("strided")).release().ptr();
        n->typed_storage = nb::object(torch.attr("storage").attr("TypedStorage")).release().ptr();
        n->untyped_storage_type = nb::object(torch.attr("UntypedStorage")).release().ptr();
        n->untyped_attr = PyUnicode_InternFromString("_untyped_storage");
        n->device_attr = PyUnicode_InternFromString("device");
        n->type_attr = PyUnicode_InternFromString("type");
        if (n->untyped_attr == nullptr || n->device_attr == nullptr || n->type_attr == nullptr)
            throw nb::python_error();
        g_names = n;
    }
    return g_names;
}

// An attribute read by name; invalid (and no error pending) when it
// cannot be read.
nb::object attr(PyObject *o, PyObject *name) {
    PyObject *r = PyObject_GetAttr(o, name);
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

bool read_storage(const nb::object &storage, Names &n, Storage *s) {
    return as_size(n.data_ptr.call(storage.ptr()), &s->data) &&
           as_size(n.nbytes.call(storage.ptr()), &s->nbytes);
}

// Whether `t` has attributes of its own (its dict is read where it lies,
// without making one for a tensor that has none).
bool has_attributes(PyObject *t, Names &n) {
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
bool plain(PyObject *t, Names &n) {
    // Loaded tensors carry an empty dict of hooks; only hooks that are
    // there make the reduce warn.
    nb::object hooks = n.backward_hooks.get(t);
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

// A shape or strides, kept inside the state for the few dimensions a
// stored embedding has (the state is read for every tensor of every write).
class Ints {
public:
    size_t size() const { return size_; }
    long long operator[](size_t i) const { return size_ <= kInline ? inline_[i] : more_[i]; }
    void resize(size_t n) {
        size_ = n;
        if (n > kInline) more_.resize(n);
    }
    long long &operator[](size_t i) { return size_ <= kInline ? inline_[i] : more_[i]; }

private:
    static constexpr size_t kInline = 3;
    size_t size_ = 0;
    long long inline_[kInline] = {0, 0, 0};
    std::vector<long long> more_;
};

// A whole number that fits a long long; false (and no error pending)
// otherwise.
bool whole(PyObject *v, long long *out) {
    if (v == nullptr || !PyLong_Check(v)) return false;
    int overflow = 0;
    *out = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow != 0 || (*out == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// The whole numbers of a tuple (strides, or a size: a tuple's subclass),
// read into `out`; false when it is not such a tuple.
bool read_ints(const nb::object &v, Ints *out) {
    if (!v.is_valid() || !PyTuple_Check(v.ptr())) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(v.ptr());
    out->resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!whole(PyTuple_GET_ITEM(v.ptr(), i), &(*out)[static_cast<size_t>(i)])) return false;
    return true;
}

// Compared as numbers, without touching the tuple kept from the last
// write (one more cold object per tensor).
bool same_ints(const nb::object &now, const Ints &kept) {
    if (!now.is_valid() || !PyTuple_Check(now.ptr()) ||
        PyTuple_GET_SIZE(now.ptr()) != static_cast<Py_ssize_t>(kept.size()))
        return false;
    long long v;
    for (size_t i = 0; i < kept.size(); ++i)
        if (!whole(PyTuple_GET_ITEM(now.ptr(), static_cast<Py_ssize_t>(i)), &v) || v != kept[i])
            return false;
    return true;
}

bool same_int(const nb::object &now, long long kept) {
    long long v;
    return whole(now.ptr(), &v) && v == kept;
}

class KeptTensor final : public KeptState {
public:
    // The storage's Python object, kept: torch gives a storage the same
    // object while it is alive, so the same object is the same storage.
    nb::object storage_object;
    Storage storage;
    unsigned long long impl = 0;  // the tensor's _cdata (0: not read)
    long long offset = 0;
    Ints shape, stride;
    nb::object dtype, requires_grad;

    // Stored embeddings are small tensors scattered over the heap: a check
    // reads the tensor, its TensorImpl and StorageImpl (their addresses are
    // what torch gives as _cdata), the storage's object and its bytes, and
    // each is a cache miss unless asked for a few tensors ahead. Addresses
    // kept at capture may be stale by now: a prefetch reads nothing and
    // cannot fault, so a stale one costs a wasted fetch at most.
    void prefetch() const override {
        if (impl != 0)
            for (int k = 0; k < 4; ++k) __builtin_prefetch(address(impl) + 64 * k);
        __builtin_prefetch(address(storage.cdata));
        __builtin_prefetch(address(storage.cdata) + 64);
        __builtin_prefetch(storage_object.ptr());
        const char *data = address(storage.data);
        const unsigned long long span = std::min<unsigned long long>(storage.nbytes, 4096);
        for (unsigned long long k = 0; k < span; k += 64) __builtin_prefetch(data + k);
    }

    // The storage's bytes are the live part: read where they are.
    bool unchanged(PyObject *t, const char **live) const override {
        Names &n = *names();
        nb::object object = n.untyped_storage.call(t);
        if (!object.is_valid()) return false;
        if (!object.is(storage_object)) {
            // Another object for the same storage, or another storage (put
            // in through .data, perhaps off the CPU, where the address is
            // not ours to read).
            unsigned long long cdata;
            if (!as_size(n.cdata.get(object.ptr()), &cdata) || cdata != storage.cdata ||
                !n.is_cpu.get(t).is(nb::handle(Py_True)))
                return false;
        }
        Storage now;
        if (!read_storage(object, n, &now) || now.nbytes != storage.nbytes) return false;
        *live = address(now.data);
        if (!n.dtype.get(t).is(dtype) || !n.requires_grad.get(t).is(requires_grad) ||
            !same_int(n.storage_offset.call(t), offset) || !same_ints(n.stride.call(t), stride))
            return false;
        // (The shape as an attribute: len() runs the tensor class's Python
        // __len__, several times the cost of any other read here.)
        if (!same_ints(n.shape.get(t), shape)) return false;
        return plain(t, n);
    }
};

}  // namespace

nb::object storage_source(PyObject *owner) {
    Names &n = *names();
    nb::object storage;
    const int typed = PyObject_IsInstance(owner, n.typed_storage);
    if (typed < 0) PyErr_Clear();
    if (typed == 1)
        storage = attr(owner, n.untyped_attr);
    else if (Py_IS_TYPE(owner, reinterpret_cast<PyTypeObject *>(n.untyped_storage_type)))
        storage = nb::borrow(owner);
    if (!storage.is_valid() ||
        !Py_IS_TYPE(storage.ptr(), reinterpret_cast<PyTypeObject *>(n.untyped_storage_type)))
        return nb::object();
    // Only memory on the CPU is ours to read.
    nb::object device = attr(storage.ptr(), n.device_attr);
    nb::object type = device.is_valid() ? attr(device.ptr(), n.type_attr) : nb::object();
    if (!type.is_valid() || !PyUnicode_Check(type.ptr()) ||
        PyUnicode_CompareWithASCIIString(type.ptr(), "cpu") != 0)
        return nb::object();
    return storage;
}

const char *storage_memory(PyObject *storage, size_t *size) {
    Storage s;
    if (!read_storage(nb::borrow(storage), *names(), &s) || s.data == 0) return nullptr;
    *size = static_cast<size_t>(s.nbytes);
    return address(s.data);
}

std::unique_ptr<KeptState> capture_tensor(PyObject *t, const std::string &bytes,
                                          const std::vector<Span> &payloads) {
    Names &n = *names();
    auto kept = std::make_unique<KeptTensor>();
    kept->storage_object = n.untyped_storage.call(t);
    if (!kept->storage_object.is_valid() ||
        !read_storage(kept->storage_object, n, &kept->storage) ||
        !as_size(n.cdata.get(kept->storage_object.ptr()), &kept->storage.cdata))
        return nullptr;
    if (!n.is_cpu.get(t).is(nb::handle(Py_True)) ||
        !n.is_nested.get(t).is(nb::handle(Py_False)) ||
        !n.is_quantized.get(t).is(nb::handle(Py_False)) ||
        !n.layout.get(t).is(nb::handle(n.strided)) || !plain(t, n))
        return nullptr;
    if (!whole(n.storage_offset.call(t).ptr(), &kept->offset)) return nullptr;
    if (!as_size(n.cdata.get(t), &kept->impl)) kept->impl = 0;
    kept->dtype = n.dtype.get(t);
    kept->requires_grad = n.requires_grad.get(t);
    if (!read_ints(n.shape.get(t), &kept->shape) || !read_ints(n.stride.call(t), &kept->stride) ||
        !kept->dtype.is_valid() || !kept->requires_grad.is_valid())
        return nullptr;
    // The storage's bytes end the payload the storage was saved as (after
    // its element count); the last payload that ends with them is that one.
    const auto size = static_cast<size_t>(kept->storage.nbytes);
    const char *data = address(kept->storage.data);
    for (auto it = payloads.rbegin(); it != payloads.rend(); ++it) {
        if (it->size < size + 8 || it->at + it->size > bytes.size()) continue;
        const size_t at = it->at + it->size - size;
        if (size == 0 || std::memcmp(bytes.data() + at, data, size) == 0) {
            kept->live_at = at;
            kept->live_size = size;
            return kept;
        }
    }
    return nullptr;
}

}  // namespace wrapper::model_file
