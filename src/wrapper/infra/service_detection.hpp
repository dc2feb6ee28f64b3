// Pieces of wrapper.infra.TongueProbe shared by its two detection functions.
#pragma once

#include <nanobind/nanobind.h>

#include "pyface/awaitable.hpp"
#include "pyface/function.hpp"

namespace wrapper {
namespace nb = nanobind;

// The translation service hosts: the global endpoint, then a regional one.
nb::list translation_hosts();

// " ".join(items), or Exception("Error to concatenate text " + str(items)).
nb::object join_or_raise(nb::handle items);

// How translate_fragments treats the fragments and their failures.
struct TranslationRun {
    nb::handle dest;     // the `dest` handed to the service
    nb::handle target;   // the target as the messages name it
    nb::handle source;   // the detected language as the INFO line names it
    bool skip_empty;     // empty fragments are left out instead of sent
    bool log_failure;    // a failing call is logged at ERROR before raising
};

// Every fragment translated by the service, in order, then the INFO line
// "Detected Text Language <source>. Will be translated to <target>". A
// failing call raises Exception("Error to translate <fragment> to <target>"),
// an empty answer Exception("Translate <fragment> to <target> error").
nb::list translate_fragments(const pyface::Args &a, nb::handle translator,
                             pyface::AwaitRunner &runner, nb::handle fragments,
                             const TranslationRun &run);

// detect_lang_by_google_translate(text, translate_to=None)
nb::object detect_lang_by_google_translate(const pyface::Args &a);

}  // namespace wrapper
