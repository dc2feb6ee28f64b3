// Language detection through the translation service: fragment by fragment
// with retries, within a character budget, decided by majority.
#include "wrapper/infra/service_detection.hpp"

#include "pyface/awaitable.hpp"
#include "pyface/errors.hpp"
#include "pyface/pyops.hpp"

namespace wrapper {

using pyface::Args;
using pyface::concat;

namespace {

constexpr long kMaxCheckedTokens = 4000;  // characters, despite the name
constexpr int kAttempts = 4;
constexpr double kPauseSeconds = 0.5;

// The fragments: normalised text cut at line feeds (stripped, empty ones
// dropped), each cut again at every full stop (kept as they are).
nb::list fragments(const Args &a, nb::handle text) {
    nb::object norm = a.global("Cleanser").attr("normalize_text")(text, false);
    nb::list out;
    for (nb::handle line : norm.attr("split")("\n")) {
        nb::object stripped = line.attr("strip")();
        if (!pyface::truthy(stripped)) continue;
        for (nb::handle part : stripped.attr("split")(".")) out.append(part);
    }
    return out;
}

}  // namespace

nb::list translation_hosts() {
    nb::list hosts;
    hosts.append(nb::str("translate.googleapis.com"));
    hosts.append(nb::str("translate.google.com.br"));
    return hosts;
}

nb::object join_or_raise(nb::handle items) {
    try {
        return nb::str(" ").attr("join")(items);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        pyface::raise_object(PyExc_Exception,
                             concat("Error to concatenate text ", pyface::str(items)));
    }
}

nb::list translate_fragments(const Args &a, nb::handle translator, pyface::AwaitRunner &runner,
                             nb::handle fragments, const TranslationRun &run) {
    nb::list out;
    for (nb::handle fragment : fragments) {
        if (run.skip_empty && !pyface::truthy(fragment)) continue;
        nb::object result;
        try {
            result = runner.resolve(translator.attr("translate")(fragment, nb::arg("dest") = run.dest));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            nb::object msg =
                pyface::add(concat(concat("Error to translate ", fragment), " to "), run.target);
            if (run.log_failure) pyface::log(a, "error", msg);
            pyface::raise_object(PyExc_Exception, msg);
        }
        if (!pyface::truthy(result) || !pyface::truthy(result.attr("text")))
            pyface::raise_object(
                PyExc_Exception,
                concat(pyface::add(concat(concat("Translate ", fragment), " to "), run.target),
                       " error"));
        out.append(result.attr("text"));
    }
    pyface::log(a, "info",
                pyface::add(concat(concat("Detected Text Language ", run.source),
                                   ". Will be translated to "),
                            run.target));
    return out;
}

nb::object detect_lang_by_google_translate(const Args &a) {
    nb::handle text = a[0], translate_to = a[1];
    nb::object translator = a.global("Translator")(nb::arg("service_urls") = translation_hosts());
    pyface::AwaitRunner runner;
    nb::list all_splited = fragments(a, text);

    nb::dict detected;
    nb::list tokens;
    long total_tokens = 0;
    for (nb::handle slited : all_splited) {
        if (total_tokens > kMaxCheckedTokens) break;
        tokens.append(slited);
        nb::object det = nb::none(), lang = nb::none();
        try {
            for (int retry = kAttempts; retry > 0;) {
                try {
                    det = runner.resolve(translator.attr("detect")(slited));
                    lang = det.attr("lang");
                    total_tokens += static_cast<long>(nb::len(slited));
                    nb::object msg = concat(concat("checking: \"", slited), "\". Lang detected ");
                    msg = concat(pyface::add(msg, pyface::format(lang)), ". Checked tokens ");
                    msg = concat(concat(msg, std::to_string(total_tokens)), "...");
                    pyface::log(a, "debug", msg);
                    break;
                } catch (nb::python_error &e) {
                    if (!e.matches(PyExc_Exception)) throw;
                    --retry;
                    pyface::log(a, "debug", "retrying. Left " + std::to_string(retry));
                    pyface::HandledError(e).log_traceback(a);
                    a.global("time").attr("sleep")(kPauseSeconds);
                    if (retry == 0) throw;
                }
            }
            if (!pyface::truthy(lang)) continue;
            if (!detected.contains(lang)) detected[lang] = nb::list();
            detected[lang].attr("append")(slited);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            nb::object msg = concat(concat("Error to detect language for sentence ", slited),
                                    " from sentences ");
            msg = concat(pyface::add(msg, pyface::str(tokens)), ". Detected object ");
            pyface::raise_object(PyExc_Exception, pyface::add(msg, pyface::format(det)));
        }
    }
    if (nb::len(detected) == 0)
        pyface::raise_object(
            PyExc_Exception,
            concat(concat("It doesn't have readable sentences for ", pyface::str(tokens)), "."));

    // Most fragments wins; among equals the language met first.
    nb::handle winner_code, winner_list;
    size_t best = 0;
    for (auto [code, frags] : detected) {
        const size_t n = nb::len(frags);
        if (!winner_code.is_valid() || n > best) {
            winner_code = code;
            winner_list = frags;
            best = n;
        }
    }
    if (static_cast<double>(best) / static_cast<double>(nb::len(tokens)) <= 0.5) {
        pyface::log(a, "error", "Language not detected");
        pyface::raise(PyExc_Exception, "Language not detected");
    }

    nb::object translated = all_splited;
    if (pyface::truthy(translate_to) && !pyface::equals(winner_code, translate_to))
        translated = translate_fragments(a, translator, runner, all_splited,
                                         {translate_to, translate_to, winner_code, false, false});
    nb::object joined = join_or_raise(translated);
    pyface::log(a, "debug", concat("Translated text: \n ", joined));
    return nb::make_tuple(nb::borrow(winner_code), joined);
}

}  // namespace wrapper
