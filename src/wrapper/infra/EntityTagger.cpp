// wrapper.infra.EntityTagger: the named entities of a text, with spaCy's
// multilingual entity model.
//
// Loading the model costs far more than running it on one document, so the
// loaded pipeline is kept and reused while it would load the same: the
// module's `spacy` global and its `load` are still the real ones, the model
// name still resolves to the same place (installed package or directory),
// and no file there has changed size or modification time. Anything else
// loads afresh, exactly as loading on every call would.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "pyface/module.hpp"
#include "pyface/original.hpp"
#include "pyface/pyops.hpp"

namespace nb = nanobind;
namespace fs = std::filesystem;
using pyface::Args;

namespace {

constexpr const char *kModel = "xx_ent_wiki_sm";

// The spacy module and its load function as first loaded (spaCy is
// imported on first use); null until then.
pyface::OriginalGlobal g_spacy("spacy", {"load"});

void remember_spacy(nb::handle spacy) { g_spacy.capture_value(spacy); }

struct FileStamp {
    std::string path;
    std::uintmax_t size;
    std::int64_t modified;
    bool operator==(const FileStamp &) const = default;
};

struct Fingerprint {
    std::string location;
    std::vector<FileStamp> files;
    bool operator==(const Fingerprint &) const = default;
};

// Every regular file under `root` with its size and modification time;
// false when the tree cannot be read completely.
bool stamp_tree(const std::string &root, std::vector<FileStamp> &out) {
    std::error_code ec;
    const fs::path base(root);
    if (fs::is_regular_file(base, ec)) {
        out.push_back({root, fs::file_size(base, ec),
                       fs::last_write_time(base, ec).time_since_epoch().count()});
        return !ec;
    }
    fs::recursive_directory_iterator it(base, fs::directory_options::none, ec), end;
    if (ec) return false;
    for (; it != end; it.increment(ec)) {
        if (ec) return false;
        const fs::directory_entry &entry = *it;
        if (!entry.is_regular_file(ec)) continue;
        const auto size = entry.file_size(ec);
        if (ec) return false;
        const auto modified = entry.last_write_time(ec);
        if (ec) return false;
        out.push_back({entry.path().string(), size, modified.time_since_epoch().count()});
    }
    if (ec) return false;
    std::sort(out.begin(), out.end(), [](const FileStamp &x, const FileStamp &y) {
        return x.path < y.path;
    });
    return true;
}

// Where spaCy's load would find the model, in its own order of preference:
// an installed package of that name, else a directory (or file) of that
// name relative to the working directory. Empty when neither exists, in
// which case load raises its own error.
std::string model_location(nb::handle spacy) {
    nb::object util = spacy.attr("util");
    if (pyface::truthy(util.attr("is_package")(kModel)))
        return nb::cast<std::string>(pyface::str(util.attr("get_package_path")(kModel)));
    nb::object os_path = nb::module_::import_("os.path");
    if (pyface::truthy(os_path.attr("exists")(kModel)))
        return nb::cast<std::string>(os_path.attr("abspath")(kModel));
    return {};
}

// The pipeline kept between calls, while no call is using it.
struct CachedModel {
    Fingerprint fingerprint;
    nb::object pipeline;
};

CachedModel &cache() {
    // Lives as long as the interpreter; never destroyed after it.
    static auto *slot = new CachedModel();
    return *slot;
}

// A spaCy pipeline is not made to be run by several threads at once, so a
// call takes the kept pipeline for itself and puts it back when done; a
// call that finds none loads its own, as every call would without the
// cache. Taking and putting back happen with the GIL held and without
// calling into Python in between, so they are atomic.
class Borrowed {
public:
    explicit Borrowed(const Args &a) {
        nb::object spacy = a.global("spacy");
        nb::object load = spacy.attr("load");
        if (!g_spacy.is_pristine(a)) {
            pipeline_ = load(kModel);
            return;
        }
        current_.location = model_location(spacy);
        if (!current_.location.empty()) {
            nb::gil_scoped_release unlocked;
            readable_ = stamp_tree(current_.location, current_.files);
        }
        CachedModel &held = cache();
        if (readable_ && held.pipeline.is_valid() && held.fingerprint == current_) {
            pipeline_ = std::move(held.pipeline);
            held.pipeline = nb::object();
            return;
        }
        nb::object stale = std::move(held.pipeline);  // not kept beside the new one
        stale = nb::object();
        pipeline_ = load(kModel);
    }
    Borrowed(const Borrowed &) = delete;
    Borrowed &operator=(const Borrowed &) = delete;
    // Put back whether or not the call succeeded: a text the pipeline
    // refuses leaves the pipeline as it was.
    ~Borrowed() {
        if (!readable_ || !pipeline_.is_valid()) return;
        CachedModel &held = cache();
        // Released only once the slot is whole again: freeing it may run
        // Python code, and with it another thread.
        nb::object previous = std::move(held.pipeline);
        held.fingerprint = std::move(current_);
        held.pipeline = std::move(pipeline_);
    }
    nb::handle pipeline() const { return pipeline_; }

private:
    Fingerprint current_;
    bool readable_ = false;
    nb::object pipeline_;
};

nb::object extract_named_entities(const Args &a) {
    Borrowed model(a);
    nb::object doc = model.pipeline()(a[0]);
    nb::list entities;
    for (nb::handle span : doc.attr("ents"))
        entities.append(nb::make_tuple(span.attr("text"), span.attr("label_")));
    return entities;
}

}  // namespace

NB_MODULE(EntityTagger, m) {
    pyface::ModuleBuilder mod(m);
    mod.defer_import_module("spacy", nullptr, remember_spacy);
    mod.def("extract_named_entities", {"text"}, extract_named_entities);
}
