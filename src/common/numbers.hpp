// Native fast paths for Python ints that are provably identical to the number protocol.
#pragma once

#include "attributes.hpp"  // get_attr, which callers once found here

namespace carvola {

// The value of an exact int of magnitude below 2**60; false for anything larger (or for an
// object that is no int), leaving it to the number protocol.
inline bool small_int(PyObject *value, long long &out) noexcept {
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (out == -1 && overflow == 0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    constexpr long long bound = 1LL << 60;
    return overflow == 0 && out < bound && out > -bound;
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
