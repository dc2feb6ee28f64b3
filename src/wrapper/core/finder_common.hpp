// What the two search engines do alike: read their model file, and cut the
// page a query asks for out of the ranking.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <functional>
#include <utility>

#include "pyface/function.hpp"

namespace wrapper::finder_common {
namespace nb = nanobind;

// What the model file at `path` holds, read with the module's `joblib`:
// None when there is no file. A file that is there but holds no model
// raises a ValueError that names it (pyface::load_model_file).
nb::object read_model_file(const pyface::Args &a, nb::handle path);

// Unless `data` is a dict, `invalid` is called with why
// ("a dict was expected, not <type>") and must raise.
void require_dict(nb::handle data, const std::function<void(nb::handle why)> &invalid);

// The slice of a ranking that page `page` shows:
// [(page - 1) * per_page : (page - 1) * per_page + per_page], computed with
// Python's arithmetic, so any numbers a caller gives behave (and fail) as
// in Python.
nb::object page_slice(nb::handle page, nb::handle per_page);

// Where that slice begins and ends in a ranking of `n` items, with Python's
// slicing rules (negative or past-the-end bounds); begin >= end when the
// page is empty.
std::pair<size_t, size_t> page_bounds(nb::handle slice, size_t n);

}  // namespace wrapper::finder_common
