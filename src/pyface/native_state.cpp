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
    // Interned once: this runs on every search.
    static PyObject *const name = check(PyUnicode_InternFromString(kNativeStateSlot));
    PyObject *descriptor = _PyType_Lookup(Py_TYPE(owner.ptr()), name);
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

// The slots declared along the class's MRO, as pickle stores them (private
// names mangled), without __dict__, __weakref__ and the native state.
std::vector<nb::object> slot_names(nb::handle cls) {
    std::vector<nb::object> names;
    for (nb::handle base : nb::borrow<nb::tuple>(cls.attr("__mro__"))) {
        nb::object declared = base.attr("__dict__").attr("get")("__slots__");
        if (declared.is_none()) continue;
        if (PyUnicode_Check(declared.ptr())) declared = nb::make_tuple(declared);
        for (nb::handle name : declared) {
            const std::string text = utf8(name);
            if (text == "__dict__" || text == "__weakref__" || text == kNativeStateSlot) continue;
            const bool dunder_start = text.rfind("__", 0) == 0;
            const bool dunder_end = text.size() >= 2 && text.compare(text.size() - 2, 2, "__") == 0;
            std::string owner = utf8(base.attr("__name__"));
            owner.erase(0, owner.find_first_not_of('_'));
            if (dunder_start && !dunder_end && !owner.empty()) {
                std::string mangled = "_";
                mangled += owner;
                mangled += text;
                names.push_back(make_str(mangled));
            } else {
                names.push_back(nb::borrow(name));
            }
        }
    }
    return names;
}

// object.__getstate__ without the native state: the instance dict (None
// when empty), and the other slots that are set.
nb::object get_state(const Args &a) {
    nb::handle self = a[0];
    nb::object dict = nb::steal(check(PyObject_GenericGetDict(self.ptr(), nullptr)));
    nb::object state = PyDict_GET_SIZE(dict.ptr()) > 0 ? dict : nb::none();
    nb::dict slots;
    for (const nb::object &name : slot_names(self.type())) {
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
