// Moving str values in and out of UTF-32 buffers for the native kernels, and
// the interpreter's own character classes (those of `re` on str patterns).
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "wrapper_native/char_filter.hpp"

namespace pyface {
namespace nb = nanobind;

// The code points of a str (lone surrogates included).
std::u32string to_u32(nb::handle str);
// The same appended to `out` (many strings into one buffer).
void append_u32(std::u32string &out, nb::handle str);
// A str from code points.
nb::object from_u32(std::u32string_view text);

// \w is str.isalnum() or "_", \s is str.isspace(), as in `re`.
const wrapper_native::CharClasses &python_classes();

}  // namespace pyface
