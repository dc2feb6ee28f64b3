#include "pyface/native_state.hpp"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "pyface/errors.hpp"
#include "pyface/module.hpp"
#include "pyface/pyops.hpp"

namespace pyface {
namespace {

const char *const kCapsuleName = "pyface.native_state";

// All parts of one owner's state, by name; deleted with the capsule that
// holds it, i.e. when the owner dies (the GIL is held then).
struct Parts {
    std::vector<std::pair<std::string, std::shared_ptr<void>>> by_name;
};

void delete_parts(PyObject *capsule) {
    delete static_cast<Parts *>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// The slot's member descriptor on the owner's type, or null. Used directly,
// so neither a subclass's __getattr__/__setattr__ nor its instance dict is
// ever involved.
PyObject *slot_of(nb::handle owner) {
    nb::str name(kNativeStateSlot);
    PyObject *descriptor = _PyType_Lookup(Py_TYPE(owner.ptr()), name.ptr());
    return descriptor != nullptr && Py_IS_TYPE(descriptor, &PyMemberDescr_Type) ? descriptor
                                                                                : nullptr;
}

Parts *parts_of(nb::handle owner) {
    PyObject *slot = slot_of(owner);
    if (slot == nullptr) return nullptr;
    PyObject *held = Py_TYPE(slot)->tp_descr_get(slot, owner.ptr(), nullptr);
    if (held != nullptr) {
        nb::object kept = nb::steal(held);
        if (PyCapsule_IsValid(held, kCapsuleName))
            return static_cast<Parts *>(PyCapsule_GetPointer(held, kCapsuleName));
    } else {
        PyErr_Clear();  // an empty slot
    }
    auto parts = std::make_unique<Parts>();
    nb::object capsule = nb::steal(check(PyCapsule_New(parts.get(), kCapsuleName, delete_parts)));
    Parts *result = parts.release();
    check_status(Py_TYPE(slot)->tp_descr_set(slot, owner.ptr(), capsule.ptr()));
    return result;
}

// object.__getstate__ without the native state: the instance dict (None
// when empty), and the other slots of subclasses that are set.
nb::object get_state(const Args &a) {
    nb::handle self = a[0];
    nb::object dict = nb::steal(check(PyObject_GenericGetDict(self.ptr(), nullptr)));
    nb::object state = PyDict_GET_SIZE(dict.ptr()) > 0 ? dict : nb::none();
    nb::object names = nb::module_::import_("copyreg").attr("_slotnames")(self.type());
    nb::dict slots;
    for (nb::handle name : names) {
        if (pyface::equals(name, nb::str(kNativeStateSlot))) continue;
        PyObject *value = PyObject_GetAttr(self.ptr(), name.ptr());
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
            PyErr_Clear();
            continue;
        }
        slots[name] = nb::steal(value);
    }
    return nb::len(slots) > 0 ? nb::make_tuple(state, slots) : state;
}

}  // namespace

ClassBuilder &ClassBuilder::native_state_slot() {
    attr("__slots__", nb::make_tuple("__dict__", "__weakref__", kNativeStateSlot));
    return method("__getstate__", {"self"}, get_state);
}

namespace detail {

void *native_state_part(nb::handle owner, const char *name, MakePart make) {
    Parts *parts = parts_of(owner);
    if (parts == nullptr) return nullptr;
    for (auto &[part_name, part] : parts->by_name)
        if (part_name == name) return part.get();
    parts->by_name.emplace_back(name, make());
    return parts->by_name.back().second.get();
}

}  // namespace detail
}  // namespace pyface
