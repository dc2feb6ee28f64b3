// json.dumps(value, indent=N) with the standard library's defaults, done
// natively for the plain values a debug document is made of. Its pure-Python
// encoder (the one json uses whenever an indent is given) is the slowest
// part of writing a debug file of tens of thousands of names.
#pragma once

#include <nanobind/nanobind.h>

namespace wrapper::json_text {
namespace nb = nanobind;

// The str json.dumps(value, indent=indent) returns, when `value` holds only
// exact dicts, lists, tuples, str, int, float, bool and None (dict keys: str,
// int, float, bool or None) and no container contains itself. An invalid
// object otherwise: the caller then asks json, which also raises its own
// errors.
nb::object dumps(nb::handle value, int indent);

}  // namespace wrapper::json_text
