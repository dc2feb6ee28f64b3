// Replacing a file whole: the new content goes to a temporary file in the
// same directory, reaches the disk, and is renamed over the old file. A
// crash at any moment leaves either the old file or the new one.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>

namespace pyface {
namespace nb = nanobind;

// `write` receives the temporary path (a str ending with the same name as
// `path`, so writers that look at the extension behave the same) and must
// create it. If `write` raises, the temporary file is removed and `path`
// is untouched.
void atomic_replace(nb::handle path, const std::function<void(nb::handle)> &write);

}  // namespace pyface
