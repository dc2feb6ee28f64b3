// wrapper.infra.Cleanser: normalisation, accent removal, sentence split and
// the token pipeline shared by documents and queries.
//
// Regular-expression and Unicode steps run natively while the module's `re`
// and `unicodedata` globals are the modules bound at import; if a caller
// replaces them, the replacement is called instead, as Python code would.
#include <nanobind/nanobind.h>

#include <vector>

#include "pyface/errors.hpp"
#include "pyface/module.hpp"
#include "pyface/original.hpp"
#include "pyface/pyops.hpp"
#include "pyface/unicode.hpp"
#include "wrapper_native/char_filter.hpp"

namespace nb = nanobind;
using pyface::Args;

namespace {

// The modules bound at import: the native paths stand in for them.
pyface::OriginalGlobal g_re("re");
pyface::OriginalGlobal g_unicodedata("unicodedata");

const char *const kSymbols = "[^\\w\\s]";

using Filter = std::u32string (*)(std::u32string_view,
                                  const wrapper_native::CharClasses &);

// re.sub(pattern, repl, text), natively when `re` is untouched and text is str.
nb::object re_sub(const Args &a, const char *pattern, const char *repl,
                  nb::handle text, Filter native) {
    if (pyface::is_str(text) && g_re.is_pristine(a))
        return pyface::from_u32(native(pyface::to_u32(text), pyface::python_classes()));
    return a.global("re").attr("sub")(pattern, repl, text);
}

// unicodedata.combining(ch) for the real module, remembered per code point.
// The table is made once, whole (C++ makes the first initialisation
// thread-safe), and never resized, so a slot stays where it is while the
// lookup below calls into Python; two threads filling one slot write the
// same value.
int combining_class(char32_t c) {
    if (c < 0x300) return 0;  // no combining marks below U+0300
    static std::vector<int16_t> cache(0x110000, -1);
    int16_t &slot = cache[c];
    if (slot < 0) {
        nb::object ch = pyface::from_u32(std::u32string_view(&c, 1));
        nb::object r = g_unicodedata.value().attr("combining")(ch);
        slot = static_cast<int16_t>(nb::cast<int>(r));
    }
    return slot;
}

nb::object remove_accents(const Args &a) {
    nb::handle text = a[0];
    nb::object ud = a.global("unicodedata");
    if (pyface::is_str(text) && g_unicodedata.is_pristine(a)) {
        if (PyUnicode_IS_ASCII(text.ptr())) return nb::borrow(text);
        nb::object nfd = ud.attr("normalize")("NFD", text);
        std::u32string kept;
        for (char32_t c : pyface::to_u32(nfd))
            if (combining_class(c) == 0) kept.push_back(c);
        return pyface::from_u32(kept);
    }
    nb::object nfd = ud.attr("normalize")("NFD", text);
    nb::object combining = ud.attr("combining");
    nb::list kept;
    for (nb::handle c : nfd)
        if (!pyface::truthy(combining(c))) kept.append(c);
    return nb::str("").attr("join")(kept);
}

nb::object normalize_text(const Args &a) {
    nb::object text = nb::borrow(a[0]);
    if (pyface::truthy(a[2])) text = text.attr("lower")();
    if (pyface::truthy(a[1])) text = a.global("remove_accents")(text);
    if (pyface::is_str(text) && g_re.is_pristine(a))
        return pyface::from_u32(wrapper_native::remove_symbols_collapse_space(
            pyface::to_u32(text), pyface::python_classes()));
    nb::object re = a.global("re");
    text = re.attr("sub")(kSymbols, "", text);
    text = re.attr("sub")("\\n", " ", text);
    return re.attr("sub")("\\s+", " ", text);
}

nb::object remove_alphanumeric_character(const Args &a) {
    pyface::print(a, a[0]);
    return re_sub(a, "\\W+", "", a[0], wrapper_native::keep_word_chars);
}

nb::object lemmatize_word(const Args &a) {
    pyface::print(a, a[0]);
    return a[1].attr("stem")(a[0]);
}

nb::object nltk_name(const Args &a, nb::handle language) {
    return a.global("Tongue").attr("get_nltk_language")(language);
}

// NLTK re-reads a stop-word file on every call; the lists are kept per
// corpus object and language (a replaced corpus object is read afresh).
nb::object stopword_set(nb::handle corpus, nb::handle name) {
    static PyObject *cache = PyDict_New();  // name -> (corpus, frozenset)
    PyObject *hit = PyDict_GetItemWithError(cache, name.ptr());
    if (hit == nullptr && PyErr_Occurred()) throw nb::python_error();
    if (hit != nullptr && PyTuple_GET_ITEM(hit, 0) == corpus.ptr())
        return nb::borrow(PyTuple_GET_ITEM(hit, 1));
    nb::object words = nb::steal(pyface::check(PyFrozenSet_New(
        corpus.attr("words")(name).ptr())));
    nb::object entry = nb::make_tuple(corpus, words);
    pyface::check_status(PyDict_SetItem(cache, name.ptr(), entry.ptr()));
    return words;
}

nb::object prepare_for_lemmatization(const Args &a) {
    nb::object text = re_sub(a, kSymbols, "", a[0], wrapper_native::remove_symbols);
    nb::object words = a.global("word_tokenize")(text, nb::arg("language") = nltk_name(a, a[1]));
    nb::object stemmer = a.global("RSLPStemmer")();
    nb::object lem = a.global("lemantization");
    nb::list stems;
    for (nb::handle w : words) stems.append(lem(w, stemmer));
    nb::object stop = a.global("stopwords").attr("words")("portuguese");
    nb::list kept;
    for (nb::handle s : stems)
        if (!pyface::contains(stop, s)) kept.append(s);
    return kept;
}

nb::object extract_sentences(const Args &a) {
    return a.global("sent_tokenize")(a[0], nltk_name(a, a[1]));
}

nb::object prepare_for_stemming(const Args &a) {
    nb::object text = a.global("normalize_text")(a[0]);
    nb::handle language = a[1];
    nb::object words;
    if (pyface::truthy(language)) {
        nb::object tongue = a.global("Tongue");
        nb::object table = tongue.attr("nltk_languages").attr("value");
        if (!pyface::contains(table, language.attr("value")))
            pyface::raise_object(PyExc_Exception,
                                 pyface::concat("Not Specified the language for text ", text));
        nb::object name = tongue.attr("get_nltk_language")(language);
        nb::object tokens = a.global("word_tokenize")(text, nb::arg("language") = name);
        nb::object stop = stopword_set(a.global("stopwords"), name);
        nb::object stemmer = a.global("SnowballStemmer")(name);
        nb::object stem = stemmer.attr("stem");
        nb::list stems;
        for (nb::handle w : tokens) {
            nb::object lowered = w.attr("lower")();
            if (!pyface::contains(stop, lowered)) stems.append(stem(w));
        }
        words = stems;
    } else {
        words = text.attr("split")();
    }
    if (nb::len(words) == 0)
        pyface::raise_object(PyExc_Exception,
                             pyface::concat("it doesn't have tokens for text: ", text));
    return nb::make_tuple(words, nb::str(" ").attr("join")(words));
}

}  // namespace

NB_MODULE(Cleanser, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_from("nltk.tokenize", {"word_tokenize", "sent_tokenize"});
    mod.import_from("nltk.corpus", {"stopwords"});
    mod.import_from("nltk.stem", {"SnowballStemmer", "RSLPStemmer", "WordNetLemmatizer"});
    mod.import_module("re");
    mod.import_module("unicodedata");
    g_re.capture(mod.globals());
    g_unicodedata.capture(mod.globals());
    mod.import_from(".Tongue", {"Tongue"});

    mod.def("remove_alphanumeric_character", {"word"}, remove_alphanumeric_character);
    mod.def("lemantization", {"word", "stemmer"}, lemmatize_word);
    mod.def("preprocess_text_for_lemantization", {"text", "language"},
            prepare_for_lemmatization);
    mod.def("remove_accents", {"text"}, remove_accents);
    mod.def("normalize_text",
            {"text", {"remove_all_accents", true}, {"to_lower", nb::none()}},
            normalize_text);
    mod.def("extract_sentences", {"text", "language"}, extract_sentences);
    mod.def("preprocess_text_for_stemmetization", {"text", {"language", nb::none()}},
            prepare_for_stemming);
}
