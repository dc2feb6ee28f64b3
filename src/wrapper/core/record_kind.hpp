// The document kinds (PDF, picture, video) are one small class over `File`:
// an `objects` list, a constructor that hands its arguments to File's, and
// a `create_features(path)` that reads the text with one ContentReader
// function and then runs the common feature pipeline. Each kind is its own
// extension module, whose init describes the kind to define_record_kind.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

namespace wrapper {

namespace nb = nanobind;

struct RecordKind {
    const char *name;     // the class and its module, e.g. "PDF"
    const char *reader;   // the ContentReader function that reads the text
    bool with_base_path;  // reader(path, self.base_path) rather than reader(path)
    // What the module imports from wrapper.infra besides ContentReader.
    std::initializer_list<const char *> infra_extras = {};
};

// The module body of a kind: its imports (File, ContentReader and the
// extras from wrapper.infra, Tongue), then the class. One kind per module.
void define_record_kind(nb::module_ module, const RecordKind &kind);

}  // namespace wrapper
