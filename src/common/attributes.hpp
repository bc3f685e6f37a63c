// Attribute access and truth as Python statements do them, for the module bodies.
#pragma once

#include "names.hpp"

namespace carvola {

// getattr(obj, name) with `name` an exact str, calling the type's slot directly.
inline Ref get_attr(PyObject *obj, PyObject *name) noexcept {
    getattrofunc slot = Py_TYPE(obj)->tp_getattro;
    return Ref::steal(slot != nullptr ? slot(obj, name) : PyObject_GetAttr(obj, name));
}

// obj.name = value; false with an exception set.
inline bool set_attr(PyObject *obj, const Name &name, PyObject *value) noexcept {
    return PyObject_SetAttr(obj, name, value) == 0;
}

// bool(obj): 1, 0, or -1 with an exception set. True and False answer without a call.
inline int truth(PyObject *obj) noexcept {
    if (obj == Py_True) return 1;
    if (obj == Py_False || obj == Py_None) return 0;
    return PyObject_IsTrue(obj);
}

// bool(obj.name): 1, 0, or -1 with an exception set.
inline int attr_truth(PyObject *obj, const Name &name) noexcept {
    Ref value = get_attr(obj, name);
    return value ? truth(value.get()) : -1;
}

// The value the MRO of class `cls` holds for `name`, as type.__getattribute__ finds it
// before binding; borrowed, null when absent (a failed lookup leaves no exception set).
inline PyObject *class_lookup(PyObject *cls, PyObject *name) noexcept {
    // Private: 3.11 has no public lookup that leaves a descriptor unbound, or that looks at
    // the type alone as special method lookup does; this one is served from the
    // interpreter's method cache, where a walk of the MRO's dicts is not.
    return _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls), name);
}

// None, as a body's result.
inline Ref none() noexcept { return Ref::borrow(Py_None); }

}  // namespace carvola
