#include "wrapper/core/finder_common.hpp"

#include "pyface/errors.hpp"
#include "pyface/files.hpp"
#include "pyface/pyops.hpp"

namespace wrapper::finder_common {

nb::object read_model_file(const pyface::Args &a, nb::handle path) {
    if (!pyface::truthy(a.global("os").attr("path").attr("exists")(path))) return nb::none();
    return pyface::load_model_file(a.global("joblib").attr("load"), path);
}

void require_dict(nb::handle data, const std::function<void(nb::handle why)> &invalid) {
    if (PyDict_Check(data.ptr())) return;
    invalid(pyface::concat("a dict was expected, not ", pyface::type_name(data)));
}

nb::object page_slice(nb::handle page, nb::handle per_page) {
    nb::object one = nb::int_(1);
    nb::object previous = nb::steal(pyface::check(PyNumber_Subtract(page.ptr(), one.ptr())));
    nb::object start =
        nb::steal(pyface::check(PyNumber_Multiply(previous.ptr(), per_page.ptr())));
    nb::object stop = pyface::add(start, per_page);
    return nb::steal(pyface::check(PySlice_New(start.ptr(), stop.ptr(), nullptr)));
}

std::pair<size_t, size_t> page_bounds(nb::handle slice, size_t n) {
    Py_ssize_t begin = 0, end = 0, step = 1;
    pyface::check_status(PySlice_Unpack(slice.ptr(), &begin, &end, &step));
    PySlice_AdjustIndices(static_cast<Py_ssize_t>(n), &begin, &end, step);
    if (end <= begin) return {0, 0};
    return {static_cast<size_t>(begin), static_cast<size_t>(end)};
}

}  // namespace wrapper::finder_common
