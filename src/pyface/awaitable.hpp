// Running awaitable results to completion from synchronous code. Some
// client libraries return coroutines from what used to be blocking calls;
// our callers are synchronous, so each call runs them on an event loop of
// its own (one loop per runner, so clients bound to a loop keep working
// across the calls of one operation).
#pragma once

#include <nanobind/nanobind.h>

#include "pyface/errors.hpp"

namespace pyface {
namespace nb = nanobind;

class AwaitRunner {
public:
    AwaitRunner() = default;
    AwaitRunner(const AwaitRunner &) = delete;
    AwaitRunner &operator=(const AwaitRunner &) = delete;

    // `value` itself when it is not awaitable; otherwise its result (or the
    // exception it raises).
    nb::object resolve(nb::handle value);

private:
    // Shut down, then closed, when the runner goes (members end in reverse
    // order), without disturbing an error on its way out.
    Closing loop_{nb::object(), "close"};
    Closing executor_{nb::object(), "shutdown"};  // used when this thread already runs a loop
};

}  // namespace pyface
