// Native fast paths for Python ints that are provably identical to the number protocol.
#pragma once

#include "attributes.hpp"  // get_attr, which callers once found here

#include <charconv>
#include <cstring>

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

// f"{a}{sep}{b}" of two machine ints, written here: a small text costs a formatting call
// more than it takes to write.
inline Ref int_pair_text(long long a, char sep, long long b) noexcept {
    char text[48];
    char *end = std::to_chars(text, text + 20, a).ptr;
    *end++ = sep;
    end = std::to_chars(end, end + 20, b).ptr;
    const Py_ssize_t n = end - text;
    Ref result = Ref::steal(PyUnicode_New(n, 127));
    if (result) std::memcpy(PyUnicode_1BYTE_DATA(result.get()), text, static_cast<std::size_t>(n));
    return result;
}

// f"{a}{sep}{b}" of two objects: exact small ints are written natively, anything else
// goes through str().
inline Ref int_pair_text(PyObject *a, char sep, PyObject *b) noexcept {
    long long x, y;
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b) && small_int(a, x) && small_int(b, y))
        return int_pair_text(x, sep, y);
    return Ref::steal(PyUnicode_FromFormat("%S%c%S", a, static_cast<int>(sep), b));
}

// int(text[start:end]): a run of up to 18 ASCII digits is counted here; anything else
// (blanks, signs, underscores, other digits, errors) is left to int() itself.
inline Ref decimal_int(PyObject *text, Py_ssize_t start, Py_ssize_t end) noexcept {
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    long long value = 0;
    Py_ssize_t i = start;
    for (Py_UCS4 c; i < end && i - start < 18; ++i) {
        if ((c = PyUnicode_READ(kind, data, i)) < '0' || c > '9') break;
        value = value * 10 + (c - '0');
    }
    if (i == end && end > start) return Ref::steal(PyLong_FromLongLong(value));
    Ref piece = Ref::steal(PyUnicode_Substring(text, start, end));
    return piece ? Ref::steal(PyLong_FromUnicodeObject(piece.get(), 10)) : Ref();
}

}  // namespace carvola
