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
#include "pyface/pyops.hpp"

namespace nb = nanobind;
namespace fs = std::filesystem;
using pyface::Args;

namespace {

constexpr const char *kModel = "xx_ent_wiki_sm";

// The spacy module and its load function as bound at import.
PyObject *g_spacy = nullptr;
PyObject *g_load = nullptr;

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

struct CachedModel {
    Fingerprint fingerprint;
    nb::object pipeline;
};

CachedModel &cache() {
    // Lives as long as the interpreter; never destroyed after it.
    static auto *slot = new CachedModel();
    return *slot;
}

nb::object load_model(const Args &a) {
    nb::object spacy = a.global("spacy");
    nb::object load = spacy.attr("load");
    if (spacy.ptr() != g_spacy || load.ptr() != g_load) return load(kModel);

    Fingerprint current;
    current.location = model_location(spacy);
    bool readable = false;
    if (!current.location.empty()) {
        nb::gil_scoped_release unlocked;
        readable = stamp_tree(current.location, current.files);
    }
    CachedModel &held = cache();
    if (readable && held.pipeline.is_valid() && held.fingerprint == current)
        return held.pipeline;
    held.pipeline = nb::object();  // a stale pipeline is not kept beside the new one
    nb::object pipeline = load(kModel);
    if (readable) {
        held.fingerprint = std::move(current);
        held.pipeline = pipeline;
    }
    return pipeline;
}

nb::object extract_named_entities(const Args &a) {
    nb::object pipeline = load_model(a);
    nb::object doc = pipeline(a[0]);
    nb::list entities;
    for (nb::handle span : doc.attr("ents"))
        entities.append(nb::make_tuple(span.attr("text"), span.attr("label_")));
    return entities;
}

}  // namespace

NB_MODULE(EntityTagger, m) {
    pyface::ModuleBuilder mod(m);
    nb::object spacy = mod.import_module("spacy");
    g_spacy = spacy.inc_ref().ptr();
    g_load = spacy.attr("load").inc_ref().ptr();
    mod.def("extract_named_entities", {"text"}, extract_named_entities);
}
