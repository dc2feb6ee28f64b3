// wrapper.infra: the package of the service modules. Its own namespace holds
// the abstract generator and the extractive summariser and keyword
// extractor it calls. Nothing is imported here: importing any service
// module runs this first, so it stays light.
#include <nanobind/nanobind.h>

#include <optional>

#include "pyface/errors.hpp"
#include "pyface/module.hpp"
#include "pyface/pyops.hpp"
#include "pyface/unicode.hpp"
#include "wrapper_native/summarizer.hpp"

namespace nb = nanobind;
using pyface::Args;

namespace {

std::u32string text_argument(nb::handle text) {
    if (!pyface::is_str(text))
        pyface::raise_object(
            PyExc_TypeError,
            pyface::concat("text must be str, not ", pyface::type_name(text)));
    return pyface::to_u32(text);
}

double ratio_argument(nb::handle ratio) {
    const double r = PyFloat_AsDouble(ratio.ptr());
    if (r == -1.0 && PyErr_Occurred()) throw nb::python_error();
    if (!(r >= 0.0 && r <= 1.0))
        pyface::raise_object(PyExc_ValueError,
                             pyface::concat("ratio must be between 0 and 1, got ",
                                            nb::repr(ratio)));
    return r;
}

// None, or a count of at least 0.
std::optional<size_t> count_argument(nb::handle value, const char *name) {
    if (value.is_none()) return std::nullopt;
    nb::object index = nb::steal(pyface::check(PyNumber_Index(value.ptr())));
    const long long n = PyLong_AsLongLong(index.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (n < 0)
        pyface::raise(PyExc_ValueError, std::string(name) + " must not be negative");
    return static_cast<size_t>(n);
}

wrapper_native::TextLanguage language_argument(nb::handle language) {
    if (!pyface::is_str(language))
        pyface::raise_object(PyExc_TypeError,
                             pyface::concat("language must be str, not ",
                                            pyface::type_name(language)));
    const auto parsed =
        wrapper_native::text_language_from_name(pyface::utf8(language.attr("lower")()));
    if (!parsed)
        pyface::raise_object(
            PyExc_ValueError,
            pyface::concat(pyface::concat("Unsupported language ", nb::repr(language)),
                           ": use 'portuguese', 'english' or 'spanish'"));
    return *parsed;
}

nb::object joined_lines(const nb::list &items) { return nb::str("\n").attr("join")(items); }

// summarize(text, ratio=0.2, word_count=None, split=False, language="portuguese")
nb::object summarize(const Args &a) {
    const std::u32string text = text_argument(a[0]);
    wrapper_native::SummaryOptions options;
    options.ratio = ratio_argument(a[1]);
    options.word_count = count_argument(a[2], "word_count");
    const bool split = pyface::truthy(a[3]);
    options.language = language_argument(a[4]);
    std::vector<std::u32string> sentences;
    {
        nb::gil_scoped_release unlocked;
        sentences = wrapper_native::summarize_text(text, options, pyface::python_classes());
    }
    nb::list out;
    for (const auto &s : sentences) out.append(pyface::from_u32(s));
    return split ? nb::object(out) : joined_lines(out);
}

// keywords(text, ratio=0.2, words=None, split=False, scores=False,
//          lemmatize=False, language="portuguese")
nb::object keywords(const Args &a) {
    const std::u32string text = text_argument(a[0]);
    wrapper_native::KeywordOptions options;
    options.ratio = ratio_argument(a[1]);
    options.words = count_argument(a[2], "words");
    const bool split = pyface::truthy(a[3]);
    const bool scores = pyface::truthy(a[4]);
    options.lemmatize = pyface::truthy(a[5]);
    options.language = language_argument(a[6]);
    std::vector<wrapper_native::Keyword> found;
    {
        nb::gil_scoped_release unlocked;
        found = wrapper_native::extract_keywords(text, options, pyface::python_classes());
    }
    nb::list out;
    for (const auto &k : found) {
        nb::object word = pyface::from_u32(k.text);
        if (scores)
            out.append(nb::make_tuple(word, nb::float_(k.score)));
        else
            out.append(word);
    }
    return (scores || split) ? nb::object(out) : joined_lines(out);
}

// The keywords run first: if they fail, no summary is attempted.
nb::object generate_abstract(const Args &a) {
    nb::handle text = a[0];
    nb::object found = a.global("keywords")(text, nb::arg("words") = 10,
                                            nb::arg("lemmatize") = true,
                                            nb::arg("language") = "portuguese");
    nb::object keywords_list = found.attr("split")("\n");
    nb::object summary = a.global("summarize")(
        text, nb::arg("ratio") = 0.2, nb::arg("word_count") = nb::none(),
        nb::arg("split") = true, nb::arg("language") = "portuguese");
    nb::object head = nb::steal(pyface::check(PySlice_New(nullptr, a[1].ptr(), nullptr)));
    nb::object first = nb::steal(pyface::check(PyObject_GetItem(summary.ptr(), head.ptr())));
    return nb::make_tuple(keywords_list, nb::str(" ").attr("join")(first));
}

}  // namespace

NB_MODULE(infra, m) {
    pyface::ModuleBuilder mod(m);
    mod.def("summarize",
            {"text", {"ratio", 0.2}, {"word_count", nb::none()}, {"split", false},
             {"language", "portuguese"}},
            summarize);
    mod.def("keywords",
            {"text", {"ratio", 0.2}, {"words", nb::none()}, {"split", false},
             {"scores", false}, {"lemmatize", false}, {"language", "portuguese"}},
            keywords);
    mod.def("generate_abstract", {"text", {"num_sentences", 3}}, generate_abstract);
}
