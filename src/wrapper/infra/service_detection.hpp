// Pieces of wrapper.infra.TongueProbe shared by its two detection functions.
#pragma once

#include <nanobind/nanobind.h>

#include "pyface/function.hpp"

namespace wrapper {
namespace nb = nanobind;

// The translation service hosts: the global endpoint, then a regional one.
nb::list translation_hosts();

// " ".join(items), or Exception("Error to concatenate text " + str(items)).
nb::object join_or_raise(nb::handle items);

// detect_lang_by_google_translate(text, translate_to=None)
nb::object detect_lang_by_google_translate(const pyface::Args &a);

}  // namespace wrapper
