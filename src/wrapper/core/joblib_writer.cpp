#include "wrapper/core/joblib_writer.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "pyface/errors.hpp"
#include "pyface/pyops.hpp"

namespace tfidf {

namespace {

struct JoblibObjects {
    nb::object joblib, dump;
    nb::object pickler;  // NumpyPickler with the batch methods below
    nb::object base_batch_setitems, base_batch_appends;
    nb::object compressors;
    PyTypeObject *ndarray = nullptr, *matrix = nullptr, *memmap = nullptr;
};
JoblibObjects *g = nullptr;  // never destroyed (holds Python objects)

// Pickle opcodes (protocol 4) of the types written here.
constexpr char kMark = '(', kSetitem = 's', kSetitems = 'u', kAppend = 'a', kAppends = 'e';
constexpr char kBinget = 'h', kLongBinget = 'j', kMemoize = '\x94';
constexpr char kShortBinunicode = '\x8c', kBinunicode = 'X';
constexpr char kBinint1 = 'K', kBinint2 = 'M', kBinint = 'J', kBinfloat = 'G';
constexpr char kNone = 'N', kNewtrue = '\x88', kNewfalse = '\x89';
constexpr size_t kFrameSizeTarget = 64 * 1024;

void put_le(std::string &out, uint64_t v, int bytes) {
    for (int k = 0; k < bytes; ++k) out.push_back(static_cast<char>((v >> (8 * k)) & 0xff));
}

// What pickle._Pickler.save does for one object, for the plain types,
// with its writes gathered in `pending_` and handed to the framer in one
// piece; any other object goes to the pickler's own save().
class BatchWriter {
public:
    explicit BatchWriter(nb::handle self)
        : self_(self), write_(self.attr("write")), framer_(self.attr("framer")),
          memo_(self.attr("memo")) {
        if (!PyDict_CheckExact(memo_.ptr())) pyface::raise(PyExc_TypeError, "pickler memo is not a dict");
        frame_size_ = tell();
    }

    void op(char c) { pending_.push_back(c); }

    void element(PyObject *obj) {
        if (!save_plain(obj)) {
            flush();
            self_.attr("save")(nb::handle(obj));
            frame_size_ = tell();
        }
    }

    void finish() { flush(); }

private:
    size_t tell() {
        nb::object frame = framer_.attr("current_frame");
        return frame.is_none() ? 0 : nb::cast<size_t>(frame.attr("tell")());
    }

    void flush() {
        if (pending_.empty()) return;
        write_(nb::bytes(pending_.data(), pending_.size()));
        frame_size_ += pending_.size();
        pending_.clear();
    }

    void memoize(PyObject *obj) {
        const Py_ssize_t index = PyDict_Size(memo_.ptr());
        pending_.push_back(kMemoize);
        nb::object key = nb::steal(pyface::check(PyLong_FromVoidPtr(obj)));
        nb::object entry = nb::make_tuple(nb::int_(index), nb::handle(obj));
        pyface::check_status(PyDict_SetItem(memo_.ptr(), key.ptr(), entry.ptr()));
    }

    bool save_plain(PyObject *obj) {
        PyTypeObject *type = Py_TYPE(obj);
        if (type == g->ndarray || type == g->matrix || type == g->memmap) return false;
        // save() starts with framer.commit_frame().
        if (frame_size_ + pending_.size() >= kFrameSizeTarget) {
            flush();
            framer_.attr("commit_frame")();
            frame_size_ = tell();
        }
        nb::object key = nb::steal(pyface::check(PyLong_FromVoidPtr(obj)));
        PyObject *hit = PyDict_GetItemWithError(memo_.ptr(), key.ptr());
        if (hit == nullptr && PyErr_Occurred()) throw nb::python_error();
        if (hit != nullptr) {
            const size_t index = PyLong_AsSize_t(PyTuple_GET_ITEM(hit, 0));
            if (index < 256) {
                pending_.push_back(kBinget);
                put_le(pending_, index, 1);
            } else {
                pending_.push_back(kLongBinget);
                put_le(pending_, index, 4);
            }
            return true;
        }
        if (type == &PyUnicode_Type) return save_str(obj);
        if (type == &PyLong_Type) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
            if (overflow != 0 || v < -0x80000000LL || v > 0x7fffffffLL) return false;
            if (v >= 0 && v <= 0xff) {
                pending_.push_back(kBinint1);
                put_le(pending_, static_cast<uint64_t>(v), 1);
            } else if (v >= 0 && v <= 0xffff) {
                pending_.push_back(kBinint2);
                put_le(pending_, static_cast<uint64_t>(v), 2);
            } else {
                pending_.push_back(kBinint);
                put_le(pending_, static_cast<uint32_t>(static_cast<int32_t>(v)), 4);
            }
            return true;
        }
        if (obj == Py_None) {
            pending_.push_back(kNone);
            return true;
        }
        if (obj == Py_True || obj == Py_False) {
            pending_.push_back(obj == Py_True ? kNewtrue : kNewfalse);
            return true;
        }
        if (type == &PyFloat_Type) {
            const double d = PyFloat_AS_DOUBLE(obj);
            uint64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            pending_.push_back(kBinfloat);
            for (int k = 7; k >= 0; --k) pending_.push_back(static_cast<char>((bits >> (8 * k)) & 0xff));
            return true;
        }
        return false;
    }

    // save_str: UTF-8 with lone surrogates passed through; strings that
    // the pickler writes outside frames (64 KiB and more) are left to it.
    bool save_str(PyObject *obj) {
        nb::object encoded;
        const char *data;
        Py_ssize_t n;
        if (PyUnicode_IS_ASCII(obj)) {
            data = static_cast<const char *>(PyUnicode_DATA(obj));
            n = PyUnicode_GET_LENGTH(obj);
        } else {
            encoded = nb::steal(pyface::check(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass")));
            data = PyBytes_AS_STRING(encoded.ptr());
            n = PyBytes_GET_SIZE(encoded.ptr());
        }
        const auto size = static_cast<size_t>(n);
        if (size >= kFrameSizeTarget) return false;
        if (size <= 0xff) {
            pending_.push_back(kShortBinunicode);
            put_le(pending_, size, 1);
        } else {
            pending_.push_back(kBinunicode);
            put_le(pending_, size, 4);
        }
        pending_.append(data, size);
        memoize(obj);
        return true;
    }

    nb::handle self_;
    nb::object write_, framer_, memo_;
    std::string pending_;
    size_t frame_size_ = 0;
};

// The batches of _Pickler._batch_setitems / _batch_appends (protocol 1+).
template <bool Pairs>
nb::object batch(const pyface::Args &a) {
    nb::handle self = a[0], items = a[1];
    if (!pyface::truthy(self.attr("bin")) || pyface::truthy(self.attr("fast")))
        return (Pairs ? g->base_batch_setitems : g->base_batch_appends)(self, items);
    const auto batch_size = nb::cast<size_t>(self.attr("_BATCHSIZE"));
    nb::object it = nb::steal(pyface::check(PyObject_GetIter(items.ptr())));
    std::vector<nb::object> tmp;
    BatchWriter out(self);
    while (true) {
        tmp.clear();
        while (tmp.size() < batch_size) {
            PyObject *next = PyIter_Next(it.ptr());
            if (next == nullptr) {
                if (PyErr_Occurred()) throw nb::python_error();
                break;
            }
            tmp.push_back(nb::steal(next));
        }
        const size_t n = tmp.size();
        auto save = [&](const nb::object &item) {
            if (!Pairs) {
                out.element(item.ptr());
                return;
            }
            nb::object pair = nb::steal(pyface::check(PySequence_Tuple(item.ptr())));
            const Py_ssize_t size = PyTuple_GET_SIZE(pair.ptr());
            if (size > 2) pyface::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
            if (size < 2)
                pyface::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got " +
                                                    std::to_string(size) + ")");
            out.element(PyTuple_GET_ITEM(pair.ptr(), 0));
            out.element(PyTuple_GET_ITEM(pair.ptr(), 1));
        };
        if (n > 1) {
            out.op(kMark);
            for (const auto &item : tmp) save(item);
            out.op(Pairs ? kSetitems : kAppends);
        } else if (n == 1) {
            save(tmp[0]);
            out.op(Pairs ? kSetitem : kAppend);
        }
        if (n < batch_size) break;
    }
    out.finish();
    return nb::none();
}

bool fast_path_applies(const pyface::Args &a, nb::handle filename) {
#if PY_VERSION_HEX >= 0x030E0000
    // Later pickle versions changed the batch helpers; use joblib as is.
    (void)a;
    (void)filename;
    return false;
#else
    PyObject *joblib = PyDict_GetItemString(a.globals().ptr(), "joblib");
    if (joblib != g->joblib.ptr() || !g->joblib.attr("dump").is(g->dump)) return false;
    if (!PyUnicode_Check(filename.ptr())) return false;
    // joblib compresses when the name ends with a compressor's extension.
    for (auto [name, compressor] : nb::borrow<nb::dict>(g->compressors))
        if (pyface::truthy(filename.attr("endswith")(compressor.attr("extension")))) return false;
    return true;
#endif
}

}  // namespace

void init_joblib_writer(nb::handle globals) {
    if (g != nullptr) return;
    auto *o = new JoblibObjects();
    o->joblib = nb::borrow(globals["joblib"]);
    o->dump = o->joblib.attr("dump");
    nb::module_ numpy_pickle = nb::module_::import_("joblib.numpy_pickle");
    o->compressors = numpy_pickle.attr("_COMPRESSORS");
    nb::module_ numpy = nb::module_::import_("numpy");
    o->ndarray = reinterpret_cast<PyTypeObject *>(numpy.attr("ndarray").ptr());
    o->matrix = reinterpret_cast<PyTypeObject *>(numpy.attr("matrix").ptr());
    o->memmap = reinterpret_cast<PyTypeObject *>(numpy.attr("memmap").ptr());
    nb::object base = numpy_pickle.attr("NumpyPickler");
    o->base_batch_setitems = base.attr("_batch_setitems");
    o->base_batch_appends = base.attr("_batch_appends");
    nb::dict ns;
    ns["__module__"] = globals["__name__"];
    auto method = [&](const char *name, pyface::Impl impl) {
        nb::object f = pyface::make_function(globals, std::string("_BatchedNumpyPickler.") + name,
                                             {"self", "items"}, impl);
        ns[name] = nb::steal(pyface::check(PyInstanceMethod_New(f.ptr())));
    };
    method("_batch_setitems", batch<true>);
    method("_batch_appends", batch<false>);
    nb::handle type_type = reinterpret_cast<PyObject *>(&PyType_Type);
    o->pickler = type_type(nb::str("_BatchedNumpyPickler"), nb::make_tuple(base), ns);
    g = o;
}

void joblib_dump(const pyface::Args &a, nb::handle value, nb::handle filename) {
    if (!fast_path_applies(a, filename)) {
        a.global("joblib").attr("dump")(value, filename);
        return;
    }
    // joblib.dump for an uncompressed file name: open, pickle, close.
    nb::object file = nb::module_::import_("builtins").attr("open")(filename, "wb");
    try {
        g->pickler(file, nb::arg("protocol") = nb::none()).attr("dump")(value);
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
}

}  // namespace tfidf
