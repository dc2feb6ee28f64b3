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
// A bytes or os.PathLike path is decoded as the file system decodes names.
void atomic_replace(nb::handle path, const std::function<void(nb::handle)> &write);

// `load(path)` for a model file. An error of the file system (OSError)
// passes unchanged: it names the file already. Anything else means the
// content is no model that `load` can read (empty, truncated, garbage, a
// class that no longer exists), and becomes a ValueError that names the
// file and the original error, chained to it.
nb::object load_model_file(nb::handle load, nb::handle path);

// The str of a path argument, as os.fspath gives it. Anything but a str or
// an os.PathLike naming a str is a TypeError naming the function and the
// parameter; an embedded NUL is a ValueError, since the C libraries that
// open the file would silently read the name only up to it.
nb::object path_argument(nb::handle value, const char *function, const char *parameter);

}  // namespace pyface
