#include "wrapper/core/tfidf_support.hpp"

#include <cstring>

#include "pyface/errors.hpp"
#include "pyface/native_state.hpp"
#include "wrapper/core/tfidf_state.hpp"

namespace tfidf {

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

Buffer::~Buffer() {
    if (open_) PyBuffer_Release(&view_);
}

bool Buffer::open(nb::handle obj) {
    if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return false;
    }
    open_ = true;
    if (view_.ndim != 1 || view_.format == nullptr) return false;
    const char *f = view_.format;
    if (*f == '<' || *f == '=' || *f == '@') ++f;
    if (f[0] == '\0' || f[1] != '\0') return false;
    const char c = f[0];
    if (c == 'd' && view_.itemsize == 8)
        kind_ = 'd';
    else if ((c == 'i' || c == 'l' || c == 'q') && view_.itemsize == 4)
        kind_ = 'i';
    else if ((c == 'i' || c == 'l' || c == 'q') && view_.itemsize == 8)
        kind_ = 'l';
    else
        return false;
    size_ = static_cast<size_t>(view_.shape[0]);
    return true;
}

nb::object new_array(size_t n, const char *dtype) {
    return originals().numpy.attr("empty")(n, nb::arg("dtype") = dtype);
}

void *array_data(nb::handle array) {
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0)
        throw nb::python_error();
    void *p = view.buf;
    // The array owns the memory; the pointer stays valid while it lives.
    PyBuffer_Release(&view);
    return p;
}

}  // namespace tfidf
