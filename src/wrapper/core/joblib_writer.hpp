// joblib.dump(value, filename) with the same bytes, faster: joblib pickles
// with the pure-Python pickler, which spends microseconds on every string
// and number of a large vocabulary. Here joblib's own NumpyPickler does the
// work, except that the batches of dict items and list elements are
// written natively for the plain types (str, int, float, bool, None and
// memo references), exactly as the Python pickler writes them, frames
// included. Everything else still goes through the Python pickler.
#pragma once

#include <nanobind/nanobind.h>

#include "pyface/function.hpp"

namespace tfidf {
namespace nb = nanobind;

// Binds the joblib objects the fast path stands in for (at module import).
void init_joblib_writer(nb::handle module_globals);

// The module's joblib.dump(value, filename): natively assisted while the
// module's `joblib` global and its dump are the ones bound at import.
void joblib_dump(const pyface::Args &a, nb::handle value, nb::handle filename);

}  // namespace tfidf
