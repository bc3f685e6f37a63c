// Native fast paths for Python ints that are provably identical to the number protocol.
#pragma once

#include "ref.hpp"

namespace carvola {

// The value of an int of at most two 30-bit digits (|v| < 2**60), read straight from its
// digits; false for anything larger, leaving it to the number protocol.
inline bool small_int(PyObject *value, long long &out) noexcept {
    static_assert(PyLong_SHIFT == 30, "CPython 3.11 ints have 30-bit digits");
    const PyLongObject *v = reinterpret_cast<const PyLongObject *>(value);
    const Py_ssize_t size = Py_SIZE(v);
    switch (size) {
        case 0: out = 0; return true;
        case 1: out = static_cast<long long>(v->ob_digit[0]); return true;
        case -1: out = -static_cast<long long>(v->ob_digit[0]); return true;
        case 2:
        case -2: {
            const long long magnitude =
                static_cast<long long>(v->ob_digit[0]) | (static_cast<long long>(v->ob_digit[1]) << PyLong_SHIFT);
            out = size > 0 ? magnitude : -magnitude;
            return true;
        }
        default: return false;
    }
}

// getattr(obj, name) with `name` an exact str, calling the type's slot directly.
inline Ref get_attr(PyObject *obj, PyObject *name) noexcept {
    getattrofunc slot = Py_TYPE(obj)->tp_getattro;
    return Ref::steal(slot != nullptr ? slot(obj, name) : PyObject_GetAttr(obj, name));
}

}  // namespace carvola
