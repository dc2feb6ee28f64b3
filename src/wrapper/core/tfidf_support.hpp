// Shared pieces of wrapper.core.TfidfFinder: the library objects the
// native paths stand in for, the per-engine native caches, and read access
// to NumPy buffers.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <memory>
#include <string>

#include "pyface/function.hpp"
#include "pyface/original.hpp"

namespace wrapper::tfidf {
namespace nb = nanobind;

// Library objects as bound at import. A native path runs only while the
// module global it replaces is still the original.
struct Originals {
    pyface::OriginalGlobal difflib{"difflib", {"get_close_matches"}};
    pyface::OriginalGlobal re{"re", {"findall"}};
    pyface::OriginalGlobal cosine_similarity{"cosine_similarity"};
    pyface::OriginalGlobal vectorizer{"TfidfVectorizer"};
    nb::object TfidfVectorizer, TfidfTransformer;
    nb::object csr_matrix, csr_array;
    nb::object numpy, float64;
    nb::object sklearn_get_config;
    nb::dict vectorizer_defaults;   // __dict__ of a fresh TfidfVectorizer()
    nb::dict transformer_defaults;  // __dict__ of a fresh TfidfTransformer()
};
const Originals &originals();
void init_originals(nb::handle module_globals);

struct TrainState;
struct SearchIndex;
}  // namespace wrapper::tfidf
namespace wrapper::model_file {
struct KeptItems;
}  // namespace wrapper::model_file
namespace wrapper::tfidf {

// Native caches kept on one engine object (pyface/native_state.hpp, not in
// its __dict__), dropped with the object. Nothing in them is trusted without
// checking it against the object's current attributes.
struct EngineCache {
    static constexpr const char *kStateName = "tfidf";
    std::shared_ptr<TrainState> train;
    std::shared_ptr<const SearchIndex> search;
    // The vocabulary's items as the last model file write pickled them.
    std::shared_ptr<model_file::KeptItems> vocabulary_pickle;
};
// The cache of `self`, or null when it cannot have one (not an engine).
EngineCache *engine_cache(nb::handle self);

// A contiguous one-dimensional NumPy array (or other array) of float64 or
// integers, read in place.
class Buffer {
public:
    // False (no Python error left) unless obj is a C-contiguous 1-d array
    // of one of the kinds below.
    bool open(nb::handle obj);
    // 'd' for float64, 'i' for int32, 'l' for int64.
    char kind() const { return kind_; }
    size_t size() const { return kind_ != 0 ? array_.shape(0) : 0; }
    const void *data() const { return array_.data(); }

private:
    nb::ndarray<nb::ro, nb::c_contig, nb::ndim<1>> array_;
    char kind_ = 0;
};

// A new 1-d NumPy array of `n` items of `dtype` ("float64", "int32", ...).
nb::object new_array(size_t n, const char *dtype);
void *array_data(nb::handle array);

}  // namespace wrapper::tfidf
