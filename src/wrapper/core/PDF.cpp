// wrapper.core.PDF: the record of a PDF document. Its text comes from the
// PDF reader, which keeps its OCR working copy in the record's base path.
#include "wrapper/core/record_kind.hpp"

namespace {
constexpr char kReader[] = "extract_text_from_pdf";
}  // namespace

NB_MODULE(PDF, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_from(".File", {"File"});
    mod.import_from("..infra", {"ContentReader"});
    mod.import_from("..infra.Tongue", {"Tongue"});
    wrapper::build_record_kind(mod, "PDF", wrapper::create_features<kReader, true>);
}
