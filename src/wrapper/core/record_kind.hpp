// The document kinds (PDF, picture, video) are one small class over `File`:
// an `objects` list, a constructor that hands its arguments to File's, and
// a `create_features(path)` that reads the text with one ContentReader
// function and then runs the common feature pipeline. Each kind's module
// names its reader and calls `build_record_kind` from its init.
#pragma once

#include <nanobind/nanobind.h>

#include "pyface/module.hpp"

namespace wrapper {

namespace nb = nanobind;

// Marks the record as read by OCR, sets its text to what `read` returns and
// runs File's feature pipeline on `path`.
void create_features_from(const pyface::Args &a, nb::object text);

// create_features of a kind whose text is ContentReader.<Reader>(path), or
// ContentReader.<Reader>(path, self.base_path) when `WithBasePath`.
template <const char *Reader, bool WithBasePath>
nb::object create_features(const pyface::Args &a) {
    nb::object read = a.global("ContentReader").attr(Reader);
    nb::object text = WithBasePath ? read(a[1], a[0].attr("base_path")) : read(a[1]);
    create_features_from(a, std::move(text));
    return nb::none();
}

// Builds class `name`(File) in the module; `File` must already be one of
// the module's globals. One record kind per module.
nb::object build_record_kind(pyface::ModuleBuilder &mod, const char *name,
                             pyface::Impl create_features);

}  // namespace wrapper
