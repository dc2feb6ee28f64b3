// wrapper.core.Video: the record of a video document. Its text is what OCR
// reads on the frames; then it runs the common feature pipeline like the
// PDF and picture records.
#include <nanobind/nanobind.h>

#include "pyface/module.hpp"
#include "wrapper/core/record_kind.hpp"

namespace nb = nanobind;
using pyface::Args;

namespace {

nb::object create_features(const Args &a) {
    nb::handle self = a[0];
    self.attr("ocr") = true;
    self.attr("text") = a.global("ContentReader").attr("extract_text_from_video")(a[1]);
    self.attr("create_features_base")(a[1]);
    return nb::none();
}

}  // namespace

NB_MODULE(Video, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_from(".File", {"File"});
    mod.import_from("..infra", {"ContentReader"});
    mod.import_from("..infra.Tongue", {"Tongue"});
    wrapper::build_record_kind(mod, "Video", create_features);
}
