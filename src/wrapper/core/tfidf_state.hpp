// The native state behind a TfidfFinder: the incremental counts that
// training keeps between documents, and the query index built from a
// fitted vectorizer and its matrix.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <string>
#include <vector>

#include "pyface/function.hpp"
#include "wrapper_native/close_match.hpp"
#include "wrapper_native/tfidf_model.hpp"
#include "wrapper_native/tfidf_scoring.hpp"

namespace tfidf {
namespace nb = nanobind;

// Counts of the documents the engine last fitted on, keyed by the Python
// objects they came from (identifier and text), so that the next fit only
// counts what is new. Touch only with the GIL held, except inside the
// sections that say otherwise.
struct TrainState {
    struct Doc {
        nb::object key;
        nb::object text;
        wrapper_native::IncrementalTfidf::DocId id;
    };
    wrapper_native::IncrementalTfidf model;
    std::vector<Doc> docs;          // rows of the last fit, in order
    std::vector<nb::object> names;  // Python str per term id, made on first use
};

// What one query needs, built from (vectorizer, matrix) and valid while
// those objects and the arrays they hold are the same. Immutable once
// built, so it may be read without the GIL.
struct SearchIndex {
    std::vector<nb::object> key;  // the objects it was built from
    wrapper_native::TermTable column_of;  // term -> column (ids are columns)
    std::vector<double> idf;
    wrapper_native::PostingIndex postings;
    wrapper_native::CloseMatchIndex terms;  // by column, as get_feature_names_out lists them
    nb::list names;                         // the vocabulary's str objects by column
};

// (vectorizer, matrix) for the texts, as TfidfVectorizer().fit_transform
// (several texts) or fit + transform (single_text) would give them; the
// counts are kept in `cache` for the next call. Null when the fast path
// does not apply (the caller then runs the library itself).
nb::object fit_natively(const pyface::Args &a, nb::handle self, nb::handle keys,
                        nb::handle texts, bool single_text);

// True when fit_natively may take the texts (the module's TfidfVectorizer
// is the library's own); the texts must also all be exact str.
bool native_fit_applies(const pyface::Args &a);
// Whether the text, lower-cased as the vectorizer does, holds a term.
bool holds_term(nb::handle text);

// The query index for the engine's current vectorizer and matrix, or null
// when they are not what the native path reproduces exactly.
std::shared_ptr<const SearchIndex> search_index(nb::handle self, nb::handle vectorizer,
                                                nb::handle matrix);

}  // namespace tfidf
