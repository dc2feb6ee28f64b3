#include "pyface/files.hpp"

#include <atomic>
#include <string>

#include "pyface/errors.hpp"
#include "pyface/pyops.hpp"

namespace pyface {

void atomic_replace(nb::handle path, const std::function<void(nb::handle)> &write) {
    static std::atomic<unsigned long> counter{0};
    nb::module_ os = nb::module_::import_("os");
    nb::object ospath = os.attr("path");
    nb::object target = os.attr("fspath")(path);
    nb::object dir = ospath.attr("dirname")(target);
    nb::object base = ospath.attr("basename")(target);
    const std::string tag = ".tmp-" + std::to_string(nb::cast<long>(os.attr("getpid")())) +
                            "-" + std::to_string(counter++) + "-";
    nb::object tmp = ospath.attr("join")(dir, concat(tag, base));
    try {
        write(tmp);
        nb::object fd = os.attr("open")(tmp, os.attr("O_RDONLY"));
        try {
            os.attr("fsync")(fd);
        } catch (...) {
            os.attr("close")(fd);
            throw;
        }
        os.attr("close")(fd);
        os.attr("replace")(tmp, target);
    } catch (...) {
        // Keep the original error; the clean-up is best effort.
        PyObject *type, *value, *tb;
        const bool python = PyErr_Occurred() != nullptr;
        if (python) PyErr_Fetch(&type, &value, &tb);
        PyObject *r = PyObject_CallMethod(os.ptr(), "unlink", "O", tmp.ptr());
        if (r == nullptr) PyErr_Clear();
        Py_XDECREF(r);
        if (python) PyErr_Restore(type, value, tb);
        throw;
    }
}

}  // namespace pyface
