// wrapper.core.Video: the record of a video document. Its text is what OCR
// reads on the frames; then it runs the common feature pipeline like the
// PDF and picture records.
#include "wrapper/core/record_kind.hpp"

namespace {
constexpr char kReader[] = "extract_text_from_video";
}  // namespace

NB_MODULE(Video, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_from(".File", {"File"});
    mod.import_from("..infra", {"ContentReader"});
    mod.import_from("..infra.Tongue", {"Tongue"});
    wrapper::build_record_kind(mod, "Video", wrapper::create_features<kReader, false>);
}
