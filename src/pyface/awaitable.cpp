#include "pyface/awaitable.hpp"

#include "pyface/errors.hpp"
#include "pyface/pyops.hpp"

namespace pyface {

nb::object AwaitRunner::resolve(nb::handle value) {
    nb::module_ inspect = nb::module_::import_("inspect");
    if (!truthy(inspect.attr("isawaitable")(value))) return nb::borrow(value);
    nb::module_ asyncio = nb::module_::import_("asyncio");
    if (!loop_.is_valid()) loop_ = asyncio.attr("new_event_loop")();
    nb::object running = asyncio.attr("_get_running_loop")();
    if (running.is_none()) return loop_.attr("run_until_complete")(value);
    // A loop already runs on this thread (an async host): ours cannot run
    // here, so it runs on a worker thread while this thread waits.
    if (!executor_.is_valid())
        executor_ = nb::module_::import_("concurrent.futures")
                        .attr("ThreadPoolExecutor")(nb::arg("max_workers") = 1);
    nb::object future = executor_.attr("submit")(loop_.attr("run_until_complete"), value);
    return future.attr("result")();
}

AwaitRunner::~AwaitRunner() {
    if (!loop_.is_valid() && !executor_.is_valid()) return;
    // Never throw from here; a pending error must survive the clean-up.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (executor_.is_valid()) {
        PyObject *r = PyObject_CallMethod(executor_.ptr(), "shutdown", nullptr);
        if (r == nullptr) PyErr_Clear();
        Py_XDECREF(r);
    }
    if (loop_.is_valid()) {
        PyObject *r = PyObject_CallMethod(loop_.ptr(), "close", nullptr);
        if (r == nullptr) PyErr_Clear();
        Py_XDECREF(r);
    }
    PyErr_Restore(type, value, tb);
}

}  // namespace pyface
