// The native state behind a TfidfFinder: the incremental counts that
// training keeps between documents, and the query index built from a
// fitted vectorizer and its matrix.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "pyface/function.hpp"
#include "wrapper_native/close_match.hpp"
#include "wrapper_native/tfidf_model.hpp"
#include "wrapper_native/tfidf_scoring.hpp"

namespace wrapper::tfidf {
namespace nb = nanobind;

// Counts of the documents the engine last fitted on, keyed by the Python
// objects they came from (identifier and text), so that the next fit only
// counts what is new. Touch only with the GIL held, except inside the
// sections that say otherwise.
//
// `model` also answers queries (a live SearchIndex): a fit changes it under
// the exclusive lock, and bumps `version`; a query reads it under the
// shared lock, taken with the GIL released and only if free, so neither
// ever waits for the other while holding the GIL.
struct TrainState {
    struct Doc {
        nb::object key;
        nb::object text;
        wrapper_native::IncrementalTfidf::DocId id;
    };
    wrapper_native::IncrementalTfidf model;
    std::vector<Doc> docs;          // rows of the last fit, in order
    std::vector<nb::object> names;  // Python str per term id, made on first use
    std::vector<nb::object> column_ints;  // Python int per column, made on first use
    // The last vocabulary_ built, never handed out (the vectorizer gets a
    // copy), and per term id the column it maps the term to there.
    nb::object vocabulary;
    std::vector<uint32_t> vocabulary_column;
    size_t vocabulary_deleted = 0;
    std::shared_mutex mutex;
    // Set while a fit waits for or holds `mutex`: queries then keep off, so
    // a stream of them cannot starve the fit.
    std::atomic<bool> writing{false};
    uint64_t version = 0;
};

// What one query needs, built from (vectorizer, matrix) and valid while
// those objects and the arrays they hold are the same. Immutable once
// built, so it may be read without the GIL.
struct SearchIndex {
    std::vector<nb::object> key;  // the objects it was built from
    size_t vocabulary_size = 0;
    // Set when the index is the training state itself, valid while its
    // version is this one; the fields below are then empty.
    std::shared_ptr<TrainState> live;
    uint64_t version = 0;
    wrapper_native::TermTable column_of;  // term -> column (ids are columns)
    std::vector<double> idf;
    wrapper_native::PostingIndex postings;
    wrapper_native::CloseMatchIndex terms;  // by column, as get_feature_names_out lists them
    nb::list names;                         // the vocabulary's str objects by column
};

// (vectorizer, matrix) for the texts, as TfidfVectorizer().fit_transform
// (several texts) or fit + transform (single_text) would give them; the
// counts are kept in `cache` for the next call. `keys` and `texts` are
// lists, or `keys` is a dict (exactly) of texts and `texts` null. Null
// when the fast path does not apply (the caller then runs the library
// itself).
nb::object fit_natively(const pyface::Args &a, nb::handle self, nb::handle keys,
                        nb::handle texts, bool single_text);

// True when fit_natively may take the texts (the module's TfidfVectorizer
// is the library's own); the texts must also all be exact str.
bool native_fit_applies(const pyface::Args &a);
// Whether the text, lower-cased as the vectorizer does, holds a term.
bool holds_term(nb::handle text);

// The objects a query index of (vectorizer, matrix) depends on, in this
// order: vectorizer, vocabulary_, idf_, matrix, data, indices, indptr,
// _shape; empty when the pair is not one the native path reproduces.
std::vector<nb::object> index_key(nb::handle vectorizer, nb::handle matrix);

// Takes the model the engine just read from its file as the training
// state, when its matrix gives the counts back exactly (verified against
// the stored values, the idf and the texts' token counts), so the next
// fit counts only what changed. Does nothing otherwise; never raises.
void adopt_loaded(const pyface::Args &a, nb::handle self);

// The query index for the engine's current vectorizer and matrix, or null
// when they are not what the native path reproduces exactly.
std::shared_ptr<const SearchIndex> search_index(nb::handle self, nb::handle vectorizer,
                                                nb::handle matrix);
// The same, built from the arrays even when the cached index is live (its
// state moved on since).
std::shared_ptr<const SearchIndex> search_index_from_arrays(nb::handle self,
                                                            nb::handle vectorizer,
                                                            nb::handle matrix);
// Makes the training state, as just fitted into (vectorizer, matrix), the
// query index of `self` for those objects.
void install_live_index(nb::handle self, nb::handle vectorizer, nb::handle matrix,
                        const std::shared_ptr<TrainState> &state);

}  // namespace wrapper::tfidf
