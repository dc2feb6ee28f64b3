// The fitted objects as the installed scikit-learn and SciPy make them: the
// matrix class, the order of every attribute, the value of every attribute
// that does not depend on the texts. Read from the library's own fit of a
// tiny corpus (fit + transform of one text, and fit_transform of several),
// so no release's private attribute names or order are written down here,
// and trusted only after native objects built this way pickled exactly as
// the library's own on probe corpora. Under any other library state the
// engine fits with the library itself.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>

#include "pyface/function.hpp"

namespace wrapper::tfidf {
namespace nb = nanobind;

struct FitLayout;

// (vectorizer, matrix) fitted natively on `texts` (the caller's native fit,
// used to check the layout on probe corpora).
using NativeFit = std::function<nb::object(nb::handle texts, bool single_text)>;

// The layout for fit + transform of one text (single_text) or
// fit_transform, under the library's current configuration; null when the
// native objects are not known to equal the library's.
const FitLayout *fit_layout(bool single_text, const NativeFit &native_fit);

// NumPy dtype name of the index arrays ("int32" or "int64") the library
// uses when every index fits in 32 bits.
const char *small_index_dtype(const FitLayout &layout);

// The fitted vectorizer and matrix from the native results: the vocabulary
// dict, the idf array and the CSR arrays of an (n_rows, n_cols) matrix.
nb::object assemble(const FitLayout &layout, nb::handle vocabulary, nb::handle idf,
                    nb::handle data, nb::handle indices, nb::handle indptr, size_t n_rows,
                    size_t n_cols);

}  // namespace wrapper::tfidf
