// Whether a stored tensor would still be pickled as the bytes kept for it.
// Its reduce reads the storage (identity, size, contents), dtype, view
// geometry, requires_grad, conj/neg bits and Python attributes; all but
// the contents are read again through torch's Python API (unlike the
// in-place version counter, this sees a storage put in through .data).
// The contents end the pickle's storage payload as they are in memory, so
// they are not kept but written from the storage itself at every write:
// writes through .data or a NumPy view, which are no in-place changes to
// the tensor, are in the file all the same.
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

// For a kept stream prefix (LiveMemory): the storage on the CPU that a
// torch storage object saves whole (its untyped storage), or an invalid
// object; and that storage's memory.
nb::object storage_source(PyObject *owner);
const char *storage_memory(PyObject *storage, size_t *size);

}  // namespace wrapper::model_file
