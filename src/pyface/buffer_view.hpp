// A Python buffer (a NumPy array, bytes, a memoryview) read in place through
// the buffer protocol, released when the view goes. Opening never raises:
// an object that refuses the request leaves the view closed and no Python
// error set, and the caller takes its slower path.
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>

namespace pyface {
namespace nb = nanobind;

class BufferView {
public:
    BufferView() = default;
    explicit BufferView(nb::handle obj, int flags = kContiguous) { open(obj, flags); }
    ~BufferView() { release(); }
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;

    static constexpr int kContiguous = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;

    // Views `obj` with the PyBUF_* `flags` (an earlier view is released).
    bool open(nb::handle obj, int flags = kContiguous);
    void release();

    bool ok() const { return ok_; }
    const Py_buffer &view() const { return view_; }
    const void *data() const { return view_.buf; }
    // Items along the first axis of a one-dimensional view, else 0.
    size_t size() const { return view_.ndim == 1 ? static_cast<size_t>(view_.shape[0]) : 0; }
    // The item format without a native byte order prefix ("d", "f", "O",
    // ...); "B" when the exporter names none.
    std::string_view format() const;
    // A one-dimensional view whose items have this format and size.
    bool is_vector_of(std::string_view item_format, size_t item_size) const;

private:
    Py_buffer view_{};
    bool ok_ = false;
};

}  // namespace pyface
