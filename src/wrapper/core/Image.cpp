// wrapper.core.Image: the record of a picture document, read by OCR.
#include "wrapper/core/record_kind.hpp"

NB_MODULE(Image, m) {
    wrapper::define_record_kind(
        m, {"Image", "extract_text_from_image", /*with_base_path=*/false, {"PictureScanner"}});
}
