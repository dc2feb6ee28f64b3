// The contiguous matrix kept beside each embedding list of an engine, so a
// query is one matrix-vector product instead of converting every stored
// vector again. It is an accelerator only: the engine's attributes and its
// model file stay the plain lists of vectors, and the matrix follows them.
//
// A matrix is tied to one list object and to the very vector objects in
// it. Each use compares them by identity (a pointer per row, far cheaper
// than the product itself): appended vectors are copied in, and a list that
// was replaced, shortened or had an item swapped is copied again whole. The
// vectors' contents are taken as immutable, which holds for everything the
// engine stores (it never changes an embedding after computing it).
#pragma once

#include <nanobind/nanobind.h>

namespace wrapper::embedding_matrix {
namespace nb = nanobind;

// The (rows, dim) NumPy array holding the vectors of `embeddings` in order,
// with the dtype NumPy would give the list itself, kept for `engine` under
// `key`. Not valid (nothing is raised) when the list cannot be mirrored
// exactly: not a list, empty, vectors of differing shapes or dtypes, or a
// dtype other than half, single or double precision, or an object that is
// no engine. The caller then works on the list itself.
nb::object mirror(nb::handle engine, nb::handle key, nb::handle embeddings);

// The NumPy array of one vector, converted as NumPy would convert it
// (torch tensors through their own `numpy`, which NumPy's conversion calls
// too); not valid when that fails.
nb::object as_array(nb::handle vector);

// Drops every matrix of `engine` (a new index was read).
void forget(nb::handle engine);

}  // namespace wrapper::embedding_matrix
