// wrapper.core.PDF: the record of a PDF document. Its text comes from the
// PDF reader, which keeps its OCR working copy in the record's base path.
#include "wrapper/core/record_kind.hpp"

NB_MODULE(PDF, m) {
    wrapper::define_record_kind(m, {"PDF", "extract_text_from_pdf", /*with_base_path=*/true});
}
