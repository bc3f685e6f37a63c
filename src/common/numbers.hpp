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

// Ints of at most this magnitude are exact doubles, so dividing two of them as doubles
// gives the correctly rounded quotient that Python's int true division gives.
inline constexpr long long kExactInDouble = 1LL << 53;

// The value of an exact int that a double holds exactly; false for anything else.
inline bool exact_in_double(PyObject *value, long long &out) noexcept {
    return PyLong_CheckExact(value) && small_int(value, out) && out <= kExactInDouble && out >= -kExactInDouble;
}

// a / b of two exact ints when Python divides them in doubles: both exact doubles and b
// not zero. false leaves it to the number protocol.
inline bool small_quotient(PyObject *a, PyObject *b, double &quotient) noexcept {
    long long x, y;
    if (!exact_in_double(a, x) || !exact_in_double(b, y) || y == 0) return false;
    quotient = static_cast<double>(x) / static_cast<double>(y);
    return true;
}

}  // namespace carvola
