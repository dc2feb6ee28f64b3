// The embedding engine's model file: joblib.dump of its three-key dict,
// written natively (joblib_writer.hpp). The models come first in the
// file and seldom change, so their part of the stream is kept per engine
// and written again from memory while the models are the same objects in
// the same state; the stored embeddings and names follow.
#pragma once

#include <nanobind/nanobind.h>

#include "pyface/function.hpp"

namespace wrapper::embedding_file {
namespace nb = nanobind;

// At module import, after the module's `joblib` global is bound.
void init(nb::handle module_globals);

// joblib.dump(model, filename) for `engine`'s model dict.
void write(const pyface::Args &a, nb::handle engine, nb::handle model, nb::handle filename);

}  // namespace wrapper::embedding_file
