// wrapper.core.Image: the record of a picture document, read by OCR.
#include "wrapper/core/record_kind.hpp"

namespace {
constexpr char kReader[] = "extract_text_from_image";
}  // namespace

NB_MODULE(Image, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_from(".File", {"File"});
    mod.import_from("..infra", {"ContentReader", "PictureScanner"});
    mod.import_from("..infra.Tongue", {"Tongue"});
    wrapper::build_record_kind(mod, "Image", wrapper::create_features<kReader, false>);
}
