// Raising Python exceptions from C++ and turning C++ exceptions back into
// Python ones at the boundary of every callable we expose.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace pyface {
namespace nb = nanobind;

// Sets a Python exception of `type` with `message` and unwinds to the
// nearest boundary as nb::python_error.
[[noreturn]] void raise(PyObject *type, std::string_view message);

// Same, with an already built Python message object (usually a str made by
// concatenation, so that the text is exactly what Python would build).
[[noreturn]] void raise_object(PyObject *type, nb::handle message);

// Unwinds if a Python exception is pending; returns `result` otherwise.
// For raw C API calls that signal failure with NULL.
PyObject *check(PyObject *result);
void check_status(int status);

// Called inside a catch(...) block: converts the C++ exception in flight
// into the pending Python exception.
void restore_current_exception() noexcept;

// While alive, `error` is the exception being handled: what
// traceback.format_exc() reports and the context of any error raised
// meanwhile, as inside an `except` block. The one handled before comes
// back when the scope ends.
class HandledError {
public:
    explicit HandledError(const nb::python_error &error);
    HandledError(const HandledError &) = delete;
    HandledError &operator=(const HandledError &) = delete;
    ~HandledError();

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
};

}  // namespace pyface
