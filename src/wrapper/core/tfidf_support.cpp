#include "wrapper/core/tfidf_support.hpp"

#include "pyface/errors.hpp"
#include "pyface/native_state.hpp"
#include "pyface/recycled_arrays.hpp"
#include "wrapper/core/tfidf_state.hpp"

namespace wrapper::tfidf {

namespace {

// Held for the interpreter's lifetime (never destroyed: their references
// must not be released after the interpreter is gone).
Originals *g_originals = nullptr;

}  // namespace

const Originals &originals() { return *g_originals; }

void init_originals(nb::handle globals) {
    if (g_originals != nullptr) return;
    auto *o = new Originals();
    for (pyface::OriginalGlobal *global :
         {&o->difflib, &o->re, &o->cosine_similarity, &o->vectorizer})
        global->capture(globals);
    o->TfidfVectorizer = nb::borrow(o->vectorizer.value());
    nb::module_ text = nb::module_::import_("sklearn.feature_extraction.text");
    o->TfidfTransformer = text.attr("TfidfTransformer");
    nb::module_ sparse = nb::module_::import_("scipy.sparse");
    o->csr_matrix = sparse.attr("csr_matrix");
    o->csr_array = sparse.attr("csr_array");
    o->numpy = nb::module_::import_("numpy");
    o->float64 = o->numpy.attr("float64");
    o->sklearn_get_config = nb::module_::import_("sklearn").attr("get_config");
    o->vectorizer_defaults = nb::dict(o->TfidfVectorizer().attr("__dict__"));
    o->transformer_defaults = nb::dict(o->TfidfTransformer().attr("__dict__"));
    g_originals = o;
}

EngineCache *engine_cache(nb::handle self) { return pyface::native_state<EngineCache>(self); }

bool Buffer::open(nb::handle obj) {
    kind_ = 0;
    array_ = {};
    if (!nb::try_cast(obj, array_, /*convert=*/false)) return false;
    const nb::dlpack::dtype type = array_.dtype();
    if (type == nb::dtype<double>())
        kind_ = 'd';
    else if (type == nb::dtype<int32_t>())
        kind_ = 'i';
    else if (type == nb::dtype<int64_t>())
        kind_ = 'l';
    return kind_ != 0;
}

nb::object new_array(size_t n, const char *dtype) {
    // The matrix's arrays are made again at every training: their memory
    // is recycled rather than mapped afresh.
    return pyface::recycled_empty(originals().numpy.attr("empty"), n, nb::str(dtype));
}

void *array_data(nb::handle array) {
    // The array owns the memory; the pointer stays valid while it lives.
    return nb::cast<nb::ndarray<nb::c_contig>>(array, /*convert=*/false).data();
}

}  // namespace wrapper::tfidf
