// Running awaitable results to completion from synchronous code. Some
// client libraries return coroutines from what used to be blocking calls;
// our callers are synchronous, so each call runs them on an event loop of
// its own (one loop per runner, so clients bound to a loop keep working
// across the calls of one operation).
#pragma once

#include <nanobind/nanobind.h>

namespace pyface {
namespace nb = nanobind;

class AwaitRunner {
public:
    AwaitRunner() = default;
    AwaitRunner(const AwaitRunner &) = delete;
    AwaitRunner &operator=(const AwaitRunner &) = delete;
    ~AwaitRunner();

    // `value` itself when it is not awaitable; otherwise its result (or the
    // exception it raises).
    nb::object resolve(nb::handle value);

private:
    nb::object loop_;
    nb::object executor_;  // used when this thread already runs a loop
};

}  // namespace pyface
