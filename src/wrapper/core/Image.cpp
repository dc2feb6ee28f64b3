// wrapper.core.Image: the record of a picture document.
#include <nanobind/nanobind.h>

#include "pyface/module.hpp"
#include "wrapper/core/record_kind.hpp"

namespace nb = nanobind;
using pyface::Args;

namespace {

nb::object create_features(const Args &a) {
    nb::handle self = a[0];
    self.attr("ocr") = true;
    self.attr("text") = a.global("ContentReader").attr("extract_text_from_image")(a[1]);
    self.attr("create_features_base")(a[1]);
    return nb::none();
}

}  // namespace

NB_MODULE(Image, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_from(".File", {"File"});
    mod.import_from("..infra", {"ContentReader", "PictureScanner"});
    mod.import_from("..infra.Tongue", {"Tongue"});
    wrapper::build_record_kind(mod, "Image", create_features);
}
