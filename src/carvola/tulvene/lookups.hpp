// Class attributes as type.__getattribute__ finds them, and whether finding one can run
// code: a native run may stand in for a lookup only where none would.
#pragma once

#include "attributes.hpp"

namespace carvola::tulvene {
namespace {

// The value the class's MRO holds for `name`, as type.__getattribute__ finds it before
// binding; borrowed, null when absent (a failed lookup leaves no exception set).
PyObject *mro_lookup(PyObject *cls, PyObject *name) {
    // Private: 3.11 has no public lookup that leaves a descriptor unbound, and this one is
    // served from the interpreter's method cache, where a walk of the MRO's dicts is not.
    return _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls), name);
}

// getattr(cls, name) when it can run no code: the metaclass is exactly `type` (which has
// no attribute of these names) and the value found is no descriptor. Borrowed; null, with
// no exception set, when getattr would have to run.
PyObject *plain_attribute(PyObject *cls, PyObject *name) {
    if (!Py_IS_TYPE(cls, &PyType_Type)) return nullptr;
    PyObject *found = mro_lookup(cls, name);
    return found != nullptr && Py_TYPE(found)->tp_descr_get == nullptr ? found : nullptr;
}

// cls.<name>
Ref class_attribute(PyObject *cls, PyObject *name) {
    if (PyObject *found = plain_attribute(cls, name)) return Ref::borrow(found);
    return get_attr(cls, name);
}

}  // namespace
}  // namespace carvola::tulvene
