#include "pyface/errors.hpp"

#include "pyface/pyops.hpp"

#include <cerrno>
#include <new>
#include <stdexcept>
#include <typeinfo>

namespace pyface {

void raise(PyObject *type, std::string_view message) {
    nb::object text = nb::steal(PyUnicode_FromStringAndSize(
        message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text.is_valid()) throw nb::python_error();
    PyErr_SetObject(type, text.ptr());
    throw nb::python_error();
}

void raise_errno(int error, nb::handle path) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw nb::python_error();
}

void raise_object(PyObject *type, nb::handle message) {
    // PyErr_SetObject would unpack a tuple into several arguments; build the
    // exception instance ourselves so any message object is kept whole.
    nb::object exc = nb::steal(PyObject_CallOneArg(type, message.ptr()));
    if (!exc.is_valid()) throw nb::python_error();
    PyErr_SetObject(type, exc.ptr());
    throw nb::python_error();
}

HandledError::HandledError(const nb::python_error &error) {
    PyErr_GetExcInfo(&type_, &value_, &traceback_);
    nb::object tb = error.traceback();
    PyErr_SetExcInfo(Py_NewRef(error.type().ptr()), Py_NewRef(error.value().ptr()),
                     tb.is_valid() ? tb.release().ptr() : nullptr);
}

HandledError::~HandledError() { PyErr_SetExcInfo(type_, value_, traceback_); }

void HandledError::log_traceback(const Args &args) const {
    log(args, "error", args.global("traceback").attr("format_exc")());
}

void call_keeping_error(nb::handle target, const char *method, nb::handle arg) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *pending = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
#endif
    PyObject *result = arg.is_valid()
                           ? PyObject_CallMethod(target.ptr(), method, "O", arg.ptr())
                           : PyObject_CallMethod(target.ptr(), method, nullptr);
    if (result == nullptr) PyErr_Clear();
    Py_XDECREF(result);
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(pending);
#else
    PyErr_Restore(type, value, tb);
#endif
}

Closing::~Closing() {
    if (target_.is_valid()) call_keeping_error(target_, method_);
}

void Closing::close() {
    if (!target_.is_valid()) return;
    // Taken out first: a close that raises is not tried again on the way out.
    nb::object target = std::move(target_);
    target_ = nb::object();
    target.attr(method_)();
}

PyObject *check(PyObject *result) {
    if (result == nullptr) throw nb::python_error();
    return result;
}

void check_status(int status) {
    if (status < 0) throw nb::python_error();
}

static PyObject *builtin_type(nb::exception_type type) {
    switch (type) {
        case nb::exception_type::stop_iteration: return PyExc_StopIteration;
        case nb::exception_type::index_error: return PyExc_IndexError;
        case nb::exception_type::key_error: return PyExc_KeyError;
        case nb::exception_type::value_error: return PyExc_ValueError;
        case nb::exception_type::type_error: return PyExc_TypeError;
        case nb::exception_type::buffer_error: return PyExc_BufferError;
        case nb::exception_type::import_error: return PyExc_ImportError;
        case nb::exception_type::attribute_error: return PyExc_AttributeError;
        default: return PyExc_RuntimeError;
    }
}

void restore_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        PyErr_SetString(builtin_type(e.type()), e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::bad_cast &e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::invalid_argument &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range &e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

}  // namespace pyface
