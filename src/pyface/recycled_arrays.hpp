// NumPy arrays whose memory is recycled. An engine that rebuilds arrays of
// tens of megabytes at every training (the TF-IDF matrix) would otherwise
// get fresh pages from the kernel each time, zeroed on first touch: at
// 32,000 documents that zeroing was a fifth of a training's CPU time. Arrays
// made here take their memory through NumPy's allocation policy for the
// current context (NumPy's own hook for custom allocators); a large block
// freed by NumPy goes to a small pool of the process and the next array of a
// similar size gets it back, its pages already mapped.
//
// The arrays are ordinary NumPy arrays that own their data (only
// `numpy.core.multiarray.get_handler_name(a)` tells them apart). The pool
// holds at most as many idle bytes as its arrays still alive use, so
// memory stays within twice the live arrays and goes back to the system
// once they are all freed; idle blocks are also offered to the kernel to
// reclaim under memory pressure (MADV_FREE).
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

namespace pyface {
namespace nb = nanobind;

// numpy.empty(n, dtype=dtype), its memory from the recycling pool when the
// installed NumPy has allocation policies (plain numpy.empty otherwise).
nb::object recycled_empty(nb::handle numpy_empty, size_t n, nb::handle dtype);

}  // namespace pyface
