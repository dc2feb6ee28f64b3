// wrapper.core.Vectorizer: a base for objects that wrap one trained model
// kept whole in one joblib file under a model directory.
#include <nanobind/nanobind.h>

#include "pyface/files.hpp"
#include "pyface/module.hpp"
#include "pyface/pyops.hpp"

namespace nb = nanobind;
using pyface::Args;

namespace {

nb::object init(const Args &a) {
    nb::handle self = a[0];
    self.attr("corpus_name") = a[2];
    self.attr("path") = a[1];
    nb::object os = a.global("os");
    nb::object filename = os.attr("path").attr("join")(self.attr("path"), self.attr("corpus_name"));
    self.attr("model_filename") = filename;
    os.attr("makedirs")(os.attr("path").attr("dirname")(filename), nb::arg("exist_ok") = true);
    return nb::none();
}

nb::object encode(const Args &) { return nb::none(); }

nb::object load_model(const Args &a) {
    nb::handle self = a[0];
    nb::object filename = self.attr("model_filename");
    pyface::log(a, "debug", pyface::concat("loading model ", pyface::format(filename)));
    if (pyface::truthy(a.global("os").attr("path").attr("exists")(filename))) {
        self.attr("model") = pyface::load_model_file(a.global("joblib").attr("load"), filename);
        pyface::log(a, "debug", pyface::concat("loaded model ", pyface::format(filename)));
    }
    return nb::none();
}

nb::object save_model(const Args &a) {
    nb::handle self = a[0];
    nb::handle model = a[1];
    nb::object filename = self.attr("model_filename");
    pyface::log(a, "debug", pyface::concat("saving model ", pyface::format(filename)));
    self.attr("model") = model;
    // A model file is often large and slow to write: a crash halfway must
    // leave the previous file, not a truncated one that fails every load.
    nb::object dump = a.global("joblib").attr("dump");
    pyface::atomic_replace(filename, [&](nb::handle tmp) { dump(model, tmp); });
    return nb::none();
}

}  // namespace

NB_MODULE(Vectorizer, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_module("os");
    mod.import_module("joblib");
    mod.import_module("logging");

    pyface::ClassBuilder(mod, "Vectorizer")
        .attr("model", nb::none())
        .method("__init__", {"self", "path", "corpus_name"}, init)
        .method("encode", {"self", "file"}, encode)
        .method("load_model", {"self"}, load_model)
        .method("save_model", {"self", "model"}, save_model)
        .build();
}
