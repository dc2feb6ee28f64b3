// joblib.dump(value, filename) with the same bytes, written natively: the
// stream joblib's pickler would write (pickle_stream.hpp) goes to the file
// directly, arrays and long texts straight from their memory. The native
// stream is used only after it was shown, in this process, to equal what
// the installed joblib writes for probe objects of the same kinds as the
// caller's (checked once per kind); otherwise, or when the module's
// `joblib` global is not the library bound at import, joblib itself
// writes the file.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <memory>

#include "pyface/function.hpp"

namespace wrapper::model_file {
namespace nb = nanobind;

// Probe objects for one kind of model file: built on first use (by the
// installed libraries, e.g. a tiny fit) and pickled both ways.
using ProbeFactory = std::function<nb::object()>;

// Binds joblib as the module imported it (at module import).
void init(nb::handle module_globals);

// Whether the native stream equals joblib's for the probes of `kind`
// (computed once per kind and process).
bool trusted(const char *kind, const ProbeFactory &probes);

// Bytes of a stream prefix kept between writes: see dump_dict.
struct PrefixCache;
struct PrefixCacheDeleter {
    void operator()(PrefixCache *cache) const;
};
using PrefixCachePtr = std::unique_ptr<PrefixCache, PrefixCacheDeleter>;

// The module's joblib.dump(value, filename); with `kept`, its largest
// vocabulary-like dict is written through it (pickle_stream.hpp).
struct KeptItems;
void dump(const pyface::Args &a, nb::handle value, nb::handle filename, const char *kind,
          const ProbeFactory &probes, KeptItems *kept = nullptr);

// The same for a dict whose first item's value is large and seldom
// changes: its part of the stream is kept in `cache` and written again
// from there while `fingerprint` (any object comparable with ==, that the
// caller changes whenever the first item's pickle could change) and the
// first item's key and value objects stay the same (a None fingerprint:
// nothing is kept, the stream is written straight); the parts of it that
// `live` finds to be copies of objects' memory are read from that memory
// at every write instead. The other items' objects of the type `subtree`
// names are written through it.
struct SubtreeCache;
struct LiveMemory;
void dump_dict(const pyface::Args &a, nb::handle value, nb::handle filename, const char *kind,
               const ProbeFactory &probes, PrefixCachePtr &cache, nb::handle fingerprint,
               SubtreeCache *subtree = nullptr, const LiveMemory *live = nullptr);

}  // namespace wrapper::model_file

namespace wrapper::tfidf {
namespace nb = nanobind;

// The TF-IDF engine's model file writer: joblib.dump(model_data, path) of
// the five-key model dict, its vocabulary written through `kept` (the
// engine's, kept between its writes).
void init_joblib_writer(nb::handle module_globals);
void joblib_dump(const pyface::Args &a, nb::handle value, nb::handle filename,
                 model_file::KeptItems *kept);

}  // namespace wrapper::tfidf
