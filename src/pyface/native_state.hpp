// Native state kept on the Python object it belongs to (an engine's
// caches), so that it lives and dies with the object: no table keyed by
// address, no weak references. The class declares a private slot for it
// (ClassBuilder::native_state_slot), so the state is not in the instance
// __dict__ (the attributes stay the documented ones), and its __getstate__
// leaves the slot out: pickles and copies carry the attributes only and
// build their own state on first use.
//
// Everything kept there must be a cache: an object whose slot is emptied
// (or that cannot have one) works, only slower.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>

namespace pyface {
namespace nb = nanobind;

// The slot's name, private as a Python implementation would name it.
inline constexpr const char *kNativeStateSlot = "_cache";

namespace detail {
using MakePart = std::shared_ptr<void> (*)();
void *native_state_part(nb::handle owner, const char *name, MakePart make);
}  // namespace detail

// The part of `owner`'s state of type T (which names itself with a static
// `kStateName`), made on first use; null when the owner's class declares no
// slot. Touch it with the GIL held. The pointer stays valid while the owner
// keeps its slot, i.e. for the rest of the caller's use of the owner; take
// a shared_ptr copy of what must outlive a section without the GIL.
template <class T>
T *native_state(nb::handle owner) {
    return static_cast<T *>(detail::native_state_part(
        owner, T::kStateName, [] { return std::shared_ptr<void>(std::make_shared<T>()); }));
}

}  // namespace pyface
