// Raising Python exceptions from C++ and turning C++ exceptions back into
// Python ones at the boundary of every callable we expose.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "pyface/function.hpp"

namespace pyface {
namespace nb = nanobind;

// Sets a Python exception of `type` with `message` and unwinds to the
// nearest boundary as nb::python_error.
[[noreturn]] void raise(PyObject *type, std::string_view message);

// Same, with an already built Python message object (usually a str made by
// concatenation, so that the text is exactly what Python would build).
[[noreturn]] void raise_object(PyObject *type, nb::handle message);

// OSError for `error` (an errno value) on the file named `path`, as the
// os module raises it.
[[noreturn]] void raise_errno(int error, nb::handle path);

// Unwinds if a Python exception is pending; returns `result` otherwise.
// For raw C API calls that signal failure with NULL.
PyObject *check(PyObject *result);
void check_status(int status);

// Called inside a catch(...) block: converts the C++ exception in flight
// into the pending Python exception.
void restore_current_exception() noexcept;

// For code that turns a failure into a fallback: an error that is no
// Exception (KeyboardInterrupt, SystemExit) is no failure of the attempt
// but a request to stop, to be rethrown to the caller.
inline bool is_stop_request(const nb::python_error &e) { return !e.matches(PyExc_Exception); }

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

    // logging.error(traceback.format_exc()) through the module's own
    // `logging` and `traceback` globals: the record an `except` block that
    // logs and goes on writes.
    void log_traceback(const Args &args) const;

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
};

// `target.<method>(arg)` (no argument when `arg` is not valid) for a
// clean-up on a way out: the error pending before, if any, is pending
// after; an error of the call itself is dropped, since the error already
// on its way is the one that says what went wrong. Never throws.
void call_keeping_error(nb::handle target, const char *method,
                        nb::handle arg = nb::handle()) noexcept;

// Closes a Python resource (a file, a document, a video capture, an event
// loop) on every way out of a scope, through call_keeping_error. On the
// normal way out call close(): it closes now and lets an error of closing
// propagate, as the caller is there to hear of it.
class Closing {
public:
    explicit Closing(nb::object target = nb::object(), const char *method = "close")
        : target_(std::move(target)), method_(method) {}
    Closing(const Closing &) = delete;
    Closing &operator=(const Closing &) = delete;
    ~Closing();

    // Takes charge of `target` (the previous one, if any, is left open).
    void reset(nb::object target) { target_ = std::move(target); }
    nb::handle get() const { return target_; }
    void close();

private:
    nb::object target_;
    const char *method_;
};

}  // namespace pyface
