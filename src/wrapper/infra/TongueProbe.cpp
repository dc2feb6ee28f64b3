// wrapper.infra.TongueProbe: the language of a text or query, its
// normalised sentences and, when asked, their translation.
#include <nanobind/nanobind.h>

#include "pyface/awaitable.hpp"
#include "pyface/errors.hpp"
#include "pyface/module.hpp"
#include "pyface/pyops.hpp"
#include "wrapper/infra/service_detection.hpp"

namespace nb = nanobind;
using pyface::Args;
using pyface::concat;

namespace {

nb::object detect_language(const Args &a, nb::handle text) {
    nb::object language = a.global("Language");
    nb::object builder = a.global("LanguageDetectorBuilder");
    nb::object detector =
        builder.attr("from_languages")(language.attr("ENGLISH"), language.attr("FRENCH"),
                                       language.attr("GERMAN"), language.attr("SPANISH"),
                                       language.attr("PORTUGUESE"))
            .attr("build")();
    nb::object detected = detector.attr("detect_language_of")(text);
    pyface::log(a, "debug", concat("result: ", pyface::format(detected)));
    nb::object tongue = a.global("Tongue").attr("get_language_from_lingua")(detected);
    pyface::log(a, "debug", concat("detected language: ", tongue.attr("value")));
    return tongue;
}

nb::list normalised_sentences(const Args &a, nb::handle text, nb::handle language) {
    nb::object cleanser = a.global("Cleanser");
    nb::object sentences = cleanser.attr("extract_sentences")(text, language);
    nb::object normalize = cleanser.attr("normalize_text");
    nb::list out;
    for (nb::handle t : sentences) {
        nb::object stripped = t.attr("strip")();
        if (!pyface::truthy(stripped)) continue;
        out.append(normalize(stripped, false));
    }
    return out;
}

nb::object detect_lang(const Args &a) {
    nb::handle text = a[0], translate_to = a[1];
    nb::object original = nb::borrow(a[2]);
    if (!pyface::truthy(original)) original = detect_language(a, text);

    nb::list all_splited = normalised_sentences(a, text, original);
    pyface::log(a, "debug", concat("extracted sentences: ", pyface::str(all_splited)));

    nb::object translated = all_splited;
    if (pyface::truthy(translate_to) && !pyface::equals(original, translate_to)) {
        nb::object code = translate_to.attr("value");
        pyface::log(a, "debug", concat("Translating text to ", code));
        nb::object translator =
            a.global("Translator")(nb::arg("service_urls") = wrapper::translation_hosts());
        pyface::AwaitRunner runner;
        nb::object target = pyface::format(translate_to);
        nb::object source = pyface::format(original);
        translated = wrapper::translate_fragments(a, translator, runner, all_splited,
                                                  {code, target, source, true, true});
    }
    nb::object joined = wrapper::join_or_raise(translated);
    pyface::log(a, "debug", concat("Translated text: \n ", joined));
    return nb::make_tuple(original, joined, translated);
}

}  // namespace

NB_MODULE(TongueProbe, m) {
    pyface::ModuleBuilder mod(m);
    mod.import_from("..infra", {"Cleanser"});
    mod.import_from("googletrans", {"Translator"});
    mod.import_from(".Speller", {"fix_word"});
    mod.import_module("traceback");
    mod.import_module("time");
    mod.import_module("logging");
    mod.import_from("lingua", {"Language", "LanguageDetectorBuilder"});
    mod.import_from(".Tongue", {"Tongue"});
    mod.def("detect_lang",
            {"text", {"translate_to", nb::none()}, {"original_language", nb::none()},
             {"fix_text", nb::none()}},
            detect_lang);
    mod.def("detect_lang_by_google_translate", {"text", {"translate_to", nb::none()}},
            wrapper::detect_lang_by_google_translate);
}
