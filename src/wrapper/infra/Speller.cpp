// wrapper.infra.Speller: dictionary-based spelling correction of a sentence.
#include <nanobind/nanobind.h>

#include "pyface/errors.hpp"
#include "pyface/module.hpp"
#include "pyface/pyops.hpp"

namespace nb = nanobind;
using pyface::Args;

namespace {

const char *const kSupported[] = {"en", "es", "fr", "pt", "de", "ru", "ar", "eu", "lv"};

nb::object fix_word(const Args &a) {
    nb::object sentence = a[0].attr("strip")();
    nb::str empty("");
    if (!pyface::truthy(sentence)) return empty;
    nb::object words = sentence.attr("split")();
    pyface::log(a, "debug", pyface::concat("words: ", pyface::str(words)));
    nb::object code = a[1].attr("value");
    nb::list supported;
    for (const char *c : kSupported) supported.append(nb::str(c));
    if (!pyface::contains(supported, code))
        pyface::raise(PyExc_ValueError, "Language not supported");
    nb::object spell = a.global("SpellChecker")(nb::arg("language") = code);
    nb::object misspelled = spell.attr("unknown")(words);
    nb::list new_words;
    for (nb::handle word : misspelled) {
        nb::object corrected = spell.attr("correction")(word);
        new_words.append(pyface::truthy(corrected) ? corrected : nb::borrow(word));
    }
    return nb::str(" ").attr("join")(new_words);
}

}  // namespace

NB_MODULE(Speller, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_from("spellchecker", {"SpellChecker"});
    mod.import_from(".Tongue", {"Tongue"});
    mod.import_module("logging");
    mod.def("fix_word", {"sentence", "language"}, fix_word);
}
