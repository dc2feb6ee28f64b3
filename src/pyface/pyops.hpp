// Small Python operations used all over the bindings, each doing exactly
// what the equivalent Python expression does (same results, same errors).
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>
#include <vector>

#include "pyface/function.hpp"

namespace pyface {
namespace nb = nanobind;

// bool(obj)
bool truthy(nb::handle obj);
// a + b
nb::object add(nb::handle a, nb::handle b);
// "literal" + value, value + "literal"
nb::object concat(std::string_view prefix, nb::handle value);
nb::object concat(nb::handle value, std::string_view suffix);
// format(value): the string form used by f-strings and str.format
nb::object format(nb::handle value);
// str(value)
nb::object str(nb::handle value);
// a == b
bool equals(nb::handle a, nb::handle b);
// item in container
bool contains(nb::handle container, nb::handle item);
// type(obj).__name__
inline nb::object type_name(nb::handle obj) { return nb::borrow(obj.type().attr("__name__")); }
// isinstance(obj, str)
inline bool is_str(nb::handle obj) { return PyUnicode_Check(obj.ptr()); }
// `a, b, c = value`: exactly `count` items, or the interpreter's ValueError.
std::vector<nb::object> unpack(nb::handle value, size_t count);
// UTF-8 text of a str (surrogates are escaped, so this never fails on str).
std::string utf8(nb::handle str);
// a Python str from UTF-8
nb::object make_str(std::string_view text);

// logging.<level>(message) through the module's `logging` global.
void log(const Args &args, const char *level, nb::handle message);
void log(const Args &args, const char *level, std::string_view message);
// print(value) through the `print` the module sees.
void print(const Args &args, nb::handle value);

}  // namespace pyface
