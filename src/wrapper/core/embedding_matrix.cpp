#include "wrapper/core/embedding_matrix.hpp"

#include <nanobind/ndarray.h>

#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "pyface/errors.hpp"
#include "pyface/native_state.hpp"

namespace wrapper::embedding_matrix {
namespace {

struct KeyMatrix {
    nb::object list;                // the list mirrored
    std::vector<nb::object> items;  // its vectors, held so identity checks stay sound
    nb::object storage;             // ndarray (capacity, dim); rows past items.size() unused
    char *data = nullptr;
    size_t dim = 0, itemsize = 0, capacity = 0;
    nb::dlpack::dtype dtype{};
    nb::object view;  // storage[:view_rows]
    size_t view_rows = 0;
    // Set while one call brings the matrix up to date. Converting a vector
    // or allocating runs Python code, so another thread may get the GIL
    // meanwhile; it then works on the list itself instead of on a matrix
    // that is half updated.
    bool busy = false;

    void clear() {
        list = nb::object();
        items.clear();
        storage = nb::object();
        data = nullptr;
        dim = itemsize = capacity = 0;
        dtype = nb::dlpack::dtype{};
        view = nb::object();
        view_rows = 0;
    }
};

// Kept on the engine (pyface/native_state.hpp), dropped with it.
struct EngineMatrices {
    static constexpr const char *kStateName = "embedding_matrices";
    // Shared, so that a call keeps its matrix even if the engine forgets it.
    std::unordered_map<std::string, std::shared_ptr<KeyMatrix>> by_key;
};

// Marks a matrix busy for the life of one call.
class Exclusive {
public:
    explicit Exclusive(std::shared_ptr<KeyMatrix> m) : m_(std::move(m)) { m_->busy = true; }
    ~Exclusive() { m_->busy = false; }
    Exclusive(const Exclusive &) = delete;
    Exclusive &operator=(const Exclusive &) = delete;

private:
    std::shared_ptr<KeyMatrix> m_;
};

nb::module_ &numpy() {
    static auto *np = new nb::module_(nb::module_::import_("numpy"));
    return *np;
}

EngineMatrices *matrices_of(nb::handle engine) {
    return pyface::native_state<EngineMatrices>(engine);
}

// A vector read in place: one axis, items adjacent.
using Vector = nb::ndarray<nb::ro, nb::c_contig, nb::ndim<1>>;

bool supported(nb::dlpack::dtype dtype) {
    // Half, single and double precision floats only: their bytes can be
    // copied as they are, and NumPy's product handles them.
    return dtype.code == static_cast<uint8_t>(nb::dlpack::dtype_code::Float) &&
           dtype.lanes == 1 && (dtype.bits == 16 || dtype.bits == 32 || dtype.bits == 64);
}

bool allocate(KeyMatrix &m, size_t capacity, nb::handle dtype) {
    nb::object storage = nb::steal(PyObject_CallMethod(
        numpy().ptr(), "empty", "((nn)O)", static_cast<Py_ssize_t>(capacity),
        static_cast<Py_ssize_t>(m.dim), dtype.ptr()));
    if (!storage.is_valid()) return false;
    nb::ndarray<nb::c_contig> rows_view;
    if (!nb::try_cast(storage, rows_view, /*convert=*/false)) return false;
    // The array keeps its memory while we hold it.
    char *data = static_cast<char *>(rows_view.data());
    const size_t rows = m.items.size();
    if (rows > 0) std::memcpy(data, m.data, rows * m.dim * m.itemsize);
    m.storage = std::move(storage);
    m.data = data;
    m.capacity = capacity;
    return true;
}

// Copies one vector into the next row. False when it cannot be mirrored.
bool append(KeyMatrix &m, nb::handle vector, size_t expected_rows) {
    nb::object array = as_array(vector);
    if (!array.is_valid()) return false;
    Vector view;
    if (!nb::try_cast(array, view, /*convert=*/false)) return false;
    if (view.shape(0) == 0 || !supported(view.dtype())) return false;
    const size_t dim = view.shape(0);
    const size_t itemsize = view.dtype().bits / 8;
    if (m.capacity == 0) {
        m.dim = dim;
        m.itemsize = itemsize;
        m.dtype = view.dtype();
        if (!allocate(m, expected_rows < 16 ? 16 : expected_rows, array.attr("dtype")))
            return false;
    } else {
        if (dim != m.dim || !(view.dtype() == m.dtype)) return false;
        if (m.items.size() == m.capacity &&
            !allocate(m, m.capacity * 2, m.storage.attr("dtype")))
            return false;
    }
    std::memcpy(m.data + m.items.size() * m.dim * m.itemsize, view.data(), m.dim * m.itemsize);
    m.items.push_back(nb::borrow(vector));
    return true;
}

nb::object mirror_unchecked(nb::handle engine, nb::handle key, nb::handle list) {
    if (!PyList_CheckExact(list.ptr()) || !PyUnicode_Check(key.ptr())) return nb::object();
    const size_t n = static_cast<size_t>(PyList_GET_SIZE(list.ptr()));
    if (n == 0) return nb::object();
    Py_ssize_t key_size = 0;
    const char *key_text = PyUnicode_AsUTF8AndSize(key.ptr(), &key_size);
    if (key_text == nullptr) return nb::object();
    EngineMatrices *engine_matrices = matrices_of(engine);
    if (engine_matrices == nullptr) return nb::object();
    std::shared_ptr<KeyMatrix> &slot =
        engine_matrices->by_key[std::string(key_text, static_cast<size_t>(key_size))];
    if (!slot) slot = std::make_shared<KeyMatrix>();
    if (slot->busy) return nb::object();
    const std::shared_ptr<KeyMatrix> held = slot;  // `slot` may go with the map
    const Exclusive exclusive(held);
    KeyMatrix &m = *held;

    bool in_step = m.list.ptr() == list.ptr() && m.items.size() <= n;
    for (size_t i = 0; in_step && i < m.items.size(); ++i)
        in_step = m.items[i].ptr() == PyList_GET_ITEM(list.ptr(), i);
    if (!in_step) m.clear();
    m.list = nb::borrow(list);
    for (size_t i = m.items.size(); i < n; ++i) {
        // The list may change under us if converting a vector runs Python
        // code; re-read its size each step.
        if (i >= static_cast<size_t>(PyList_GET_SIZE(list.ptr())) ||
            !append(m, nb::borrow(PyList_GET_ITEM(list.ptr(), i)), n)) {
            m.clear();
            return nb::object();
        }
    }
    if (static_cast<size_t>(PyList_GET_SIZE(list.ptr())) != m.items.size()) {
        m.clear();
        return nb::object();
    }
    if (!m.view.is_valid() || m.view_rows != n) {
        nb::object view =
            nb::steal(PySequence_GetSlice(m.storage.ptr(), 0, static_cast<Py_ssize_t>(n)));
        if (!view.is_valid()) {
            m.clear();
            return nb::object();
        }
        m.view = std::move(view);
        m.view_rows = n;
    }
    return m.view;
}

}  // namespace

nb::object as_array(nb::handle vector) {
    PyObject *ndarray = PyObject_GetAttrString(numpy().ptr(), "ndarray");
    if (ndarray == nullptr) {
        PyErr_Clear();
        return nb::object();
    }
    const int is_array = PyObject_IsInstance(vector.ptr(), ndarray);
    Py_DECREF(ndarray);
    if (is_array == 1) return nb::borrow(vector);
    PyErr_Clear();
    nb::object result;
    // A torch tensor converts through its own `numpy` (which is what its
    // __array__ does); calling it directly skips NumPy's deprecation path.
    if (PyObject_HasAttrString(reinterpret_cast<PyObject *>(Py_TYPE(vector.ptr())), "__array__") &&
        PyObject_HasAttrString(vector.ptr(), "numpy"))
        result = nb::steal(PyObject_CallMethod(vector.ptr(), "numpy", nullptr));
    else
        result = nb::steal(PyObject_CallMethod(numpy().ptr(), "asarray", "O", vector.ptr()));
    if (!result.is_valid()) {
        PyErr_Clear();
        return nb::object();
    }
    return result;
}

nb::object mirror(nb::handle engine, nb::handle key, nb::handle embeddings) {
    // An accelerator never fails its caller: any trouble means "use the list".
    try {
        nb::object result = mirror_unchecked(engine, key, embeddings);
        if (!result.is_valid()) PyErr_Clear();
        return result;
    } catch (nb::python_error &e) {
        if (pyface::is_stop_request(e)) throw;
    } catch (...) {
        PyErr_Clear();
    }
    return nb::object();
}

void forget(nb::handle engine) {
    if (EngineMatrices *matrices = matrices_of(engine)) matrices->by_key.clear();
}

}  // namespace wrapper::embedding_matrix
