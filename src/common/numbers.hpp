// Native fast paths for Python ints that are provably identical to the number protocol.
#pragma once

#include "attributes.hpp"  // get_attr, which callers once found here

namespace carvola {

// The value of an int of magnitude below 2**60 (at most two digits); false for anything
// larger, leaving it to the number protocol. `value` must be an int.
inline bool small_int(PyObject *value, long long &out) noexcept {
    // Private: the digits are read directly, as these reads sit on the hottest paths and
    // PyLong_AsLongLongAndOverflow costs a call and a reference round trip per read.
    static_assert(PyLong_SHIFT == 30, "CPython 3.11 ints have 30-bit digits");
    const PyLongObject *v = reinterpret_cast<const PyLongObject *>(value);
    const Py_ssize_t size = Py_SIZE(v);
    if (size > 2 || size < -2) return false;
    long long magnitude = size == 0 ? 0 : static_cast<long long>(v->ob_digit[0]);
    if (size == 2 || size == -2) magnitude |= static_cast<long long>(v->ob_digit[1]) << PyLong_SHIFT;
    out = size < 0 ? -magnitude : magnitude;
    return true;
}

// a / b of two exact ints when Python divides them in doubles: both of magnitude at most
// 2**53, so exact doubles whose quotient is the correctly rounded one Python's int true
// division gives, and b not zero. false leaves it to the number protocol.
inline bool small_quotient(PyObject *a, PyObject *b, double &quotient) noexcept {
    constexpr long long exact = 1LL << 53;
    long long x, y;
    if (!PyLong_CheckExact(a) || !PyLong_CheckExact(b) || !small_int(a, x) || !small_int(b, y)) return false;
    if (y == 0 || x > exact || x < -exact || y > exact || y < -exact) return false;
    quotient = static_cast<double>(x) / static_cast<double>(y);
    return true;
}

}  // namespace carvola
