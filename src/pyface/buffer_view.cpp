#include "pyface/buffer_view.hpp"

#include <bit>

namespace pyface {

bool BufferView::open(nb::handle obj, int flags) {
    release();
    ok_ = PyObject_GetBuffer(obj.ptr(), &view_, flags) == 0;
    if (!ok_) PyErr_Clear();
    return ok_;
}

void BufferView::release() {
    if (ok_) PyBuffer_Release(&view_);
    ok_ = false;
}

std::string_view BufferView::format() const {
    std::string_view f = view_.format != nullptr ? view_.format : "B";
    constexpr char kNativeOrder = std::endian::native == std::endian::little ? '<' : '>';
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == kNativeOrder)) f.remove_prefix(1);
    return f;
}

bool BufferView::is_vector_of(std::string_view item_format, size_t item_size) const {
    return ok_ && view_.ndim == 1 && format() == item_format &&
           static_cast<size_t>(view_.itemsize) == item_size;
}

}  // namespace pyface
