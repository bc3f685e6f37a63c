// Python statement semantics the modules need in C++: raise, tuple unpacking, message
// prefixing and the unbound-local error (traceback entries are in module.cpp).
#include "errors.hpp"

namespace carvola {

PyObject *raise(PyObject *obj) noexcept {
    const bool is_class = PyExceptionClass_Check(obj);
    Ref instance = is_class ? Ref::steal(PyObject_CallNoArgs(obj)) : Ref::borrow(obj);
    if (!instance) return nullptr;
    if (PyExceptionInstance_Check(instance.get()))
        PyErr_SetObject(is_class ? obj : reinterpret_cast<PyObject *>(Py_TYPE(obj)), instance.get());
    else if (is_class)
        PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R", obj,
                     Py_TYPE(instance.get()));
    else
        PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
    return nullptr;
}

// One scan for both sources: the items of an exact tuple or list are read in place, any
// other iterable is iterated; a third item is looked for only after two were found.
bool unpack2(PyObject *obj, Ref &first, Ref &second, Unpack style) noexcept {
    const bool sequence = PyTuple_CheckExact(obj) || PyList_CheckExact(obj);
    Ref iter = sequence ? Ref{} : Ref::steal(PyObject_GetIter(obj));
    if (!sequence && !iter) {
        if (style == Unpack::python && PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(obj)->tp_iter == nullptr &&
            !PySequence_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
        }
        return false;
    }
    auto next = [&](Py_ssize_t i) {
        if (!sequence) return Ref::steal(PyIter_Next(iter.get()));
        return Ref::borrow(i < PySequence_Fast_GET_SIZE(obj) ? PySequence_Fast_ITEMS(obj)[i] : nullptr);
    };
    Ref *targets[2] = {&first, &second};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *targets[i] = next(i);
        if (*targets[i]) continue;
        if (PyErr_Occurred()) return false;
        if (style == Unpack::python)
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", i);
        else
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i, i == 1 ? "" : "s");
        return false;
    }
    if (next(2)) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
        return false;
    }
    return !PyErr_Occurred();
}

Ref prefixed(const char *head, PyObject *tail) noexcept {
    Ref text = Ref::steal(PyUnicode_FromString(head));
    if (!text) return {};
    return Ref::steal(PyUnicode_Concat(text.get(), tail));
}

bool raise_unbound_local(const char *name) noexcept {
    PyErr_Format(PyExc_UnboundLocalError, "cannot access local variable '%s' where it is not associated with a value",
                 name);
    return false;
}

}  // namespace carvola
