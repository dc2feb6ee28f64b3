// wrapper.core.Video: the record of a video document. Its text is what OCR
// reads on the frames; then it runs the common feature pipeline like the
// PDF and picture records.
#include "wrapper/core/record_kind.hpp"

NB_MODULE(Video, m) {
    wrapper::define_record_kind(m, {"Video", "extract_text_from_video", /*with_base_path=*/false});
}
