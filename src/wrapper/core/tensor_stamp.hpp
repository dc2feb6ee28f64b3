// Whether a stored tensor would still be pickled as the bytes kept for it.
// Its reduce reads the storage (contents, identity, size), dtype, view
// geometry, requires_grad, conj/neg bits and Python attributes; all are
// read again through torch's Python API, the contents compared with their
// copy inside the kept pickle. Unlike the in-place version counter this
// also sees writes through .data and through NumPy views, which do not
// count as in-place changes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "wrapper/core/pickle_stream.hpp"

namespace wrapper::model_file {

// The state of `tensor`, just pickled as `bytes`; null when a tensor in
// its state is not kept (attributes, hooks, conj/neg bits, not a dense CPU
// tensor, its storage's bytes not found among `payloads`).
std::unique_ptr<KeptState> capture_tensor(PyObject *tensor, const std::string &bytes,
                                          const std::vector<Span> &payloads);

}  // namespace wrapper::model_file
