#include "pyface/awaitable.hpp"

#include "pyface/errors.hpp"
#include "pyface/pyops.hpp"

namespace pyface {

nb::object AwaitRunner::resolve(nb::handle value) {
    nb::module_ inspect = nb::module_::import_("inspect");
    if (!truthy(inspect.attr("isawaitable")(value))) return nb::borrow(value);
    nb::module_ asyncio = nb::module_::import_("asyncio");
    if (!loop_.get().is_valid()) loop_.reset(asyncio.attr("new_event_loop")());
    nb::object running = asyncio.attr("_get_running_loop")();
    nb::object run = loop_.get().attr("run_until_complete");
    if (running.is_none()) return run(value);
    // A loop already runs on this thread (an async host): ours cannot run
    // here, so it runs on a worker thread while this thread waits.
    if (!executor_.get().is_valid())
        executor_.reset(nb::module_::import_("concurrent.futures")
                            .attr("ThreadPoolExecutor")(nb::arg("max_workers") = 1));
    nb::object future = executor_.get().attr("submit")(run, value);
    return future.attr("result")();
}

}  // namespace pyface
