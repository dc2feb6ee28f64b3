#include "pyface/files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "pyface/errors.hpp"
#include "pyface/pyops.hpp"

namespace pyface {

namespace {

// The old file's cached pages are garbage once the new file replaces it:
// given back before the new file is written, the new file's pages are
// taken from them instead of from memory the system hands out afresh
// (which costs several times more to write to on some machines). The old
// content stays on the disk and readable. Best effort: errors are ignored.
void drop_cached_pages(nb::handle target) {
    nb::object name = nb::steal(PyUnicode_EncodeFSDefault(target.ptr()));
    char *bytes = nullptr;
    // Not a name the file system takes (writing the file will say so), or
    // one with a NUL inside, which would name another file.
    if (!name.is_valid() || PyBytes_AsStringAndSize(name.ptr(), &bytes, nullptr) != 0) {
        PyErr_Clear();
        return;
    }
    // (Not waiting for a writer, should the name be a pipe.)
    const int fd = ::open(bytes, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

}  // namespace

void atomic_replace(nb::handle path, const std::function<void(nb::handle)> &write) {
    static std::atomic<unsigned long> counter{0};
    nb::module_ os = nb::module_::import_("os");
    nb::object ospath = os.attr("path");
    nb::object target = os.attr("fsdecode")(path);
    nb::object dir = ospath.attr("dirname")(target);
    nb::object base = ospath.attr("basename")(target);
    const std::string tag = ".tmp-" + std::to_string(nb::cast<long>(os.attr("getpid")())) +
                            "-" + std::to_string(counter++) + "-";
    nb::object tmp = ospath.attr("join")(dir, concat(tag, base));
    drop_cached_pages(target);
    try {
        write(tmp);
        nb::object fd = os.attr("open")(tmp, os.attr("O_RDONLY"));
        try {
            os.attr("fsync")(fd);
        } catch (...) {
            call_keeping_error(os, "close", fd);
            throw;
        }
        os.attr("close")(fd);
        os.attr("replace")(tmp, target);
    } catch (...) {
        // Keep the original error; the clean-up is best effort.
        call_keeping_error(os, "unlink", tmp);
        throw;
    }
}

nb::object load_model_file(nb::handle load, nb::handle path) {
    try {
        return load(path);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception) || e.matches(PyExc_OSError) ||
            e.matches(PyExc_MemoryError))
            throw;
        nb::object original = nb::borrow(e.value());
        nb::object detail = str(original);
        nb::object message = concat(concat("Cannot read the model file ", format(path)), ": ");
        message = add(message, pyface::type_name(original));
        if (truthy(detail)) message = add(concat(message, ": "), detail);
        nb::object error = nb::steal(check(PyObject_CallOneArg(PyExc_ValueError, message.ptr())));
        PyException_SetCause(error.ptr(), original.inc_ref().ptr());
        PyException_SetContext(error.ptr(), original.inc_ref().ptr());
        PyErr_SetObject(PyExc_ValueError, error.ptr());
        throw nb::python_error();
    }
}

nb::object path_argument(nb::handle value, const char *function, const char *parameter) {
    const std::string where = std::string(function) + "() argument '" + parameter + "'";
    nb::object text;
    if (is_str(value)) {
        text = nb::borrow(value);
    } else if (!PyBytes_Check(value.ptr()) &&
               PyObject_HasAttrString(reinterpret_cast<PyObject *>(Py_TYPE(value.ptr())),
                                      "__fspath__")) {
        text = nb::steal(check(PyOS_FSPath(value.ptr())));
    }
    if (!text.is_valid() || !is_str(text)) {
        nb::handle shown = text.is_valid() ? text : value;
        raise_object(PyExc_TypeError,
                     concat(where + " must be str or os.PathLike, not ",
                            pyface::type_name(shown)));
    }
    if (PyUnicode_FindChar(text.ptr(), 0, 0, PyUnicode_GET_LENGTH(text.ptr()), 1) >= 0)
        raise(PyExc_ValueError, where + " holds an embedded null byte");
    return text;
}

}  // namespace pyface
