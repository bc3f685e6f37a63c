// The text side of calc_size: lowering the preset name, reading the ratio's two ints and
// writing the size, each with a small native case and Python's own call for the rest.
#pragma once

#include "calls.hpp"
#include "errors.hpp"
#include "number.hpp"

#include <cstring>

namespace carvola::tulvene {
namespace {

Name n_lower{"lower"};

// str.lower(): ASCII text is lowered here, into a new string as str.lower() makes one.
Ref lowered(PyObject *text) {
    if (!PyUnicode_IS_ASCII(text)) return call_method(text, n_lower);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Ref result = Ref::steal(PyUnicode_New(n, 127));
    if (!result) return {};
    const Py_UCS1 *from = PyUnicode_1BYTE_DATA(text);
    Py_UCS1 *to = PyUnicode_1BYTE_DATA(result.get());
    for (Py_ssize_t i = 0; i < n; ++i) to[i] = Py_TOLOWER(from[i]);
    return result;
}

// int(text[start:end]). Blanks, a sign and up to 18 ASCII digits are read here; anything
// else (underscores, other digits and blanks, errors) is left to int() itself.
Ref piece_to_int(PyObject *text, Py_ssize_t start, Py_ssize_t end) {
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
    auto blank = [&](Py_ssize_t i) { return at(i) < 128 && Py_ISSPACE(at(i)); };
    Py_ssize_t i = start;
    while (i < end && blank(i)) ++i;
    const bool negative = i < end && at(i) == '-';
    if (i < end && (at(i) == '-' || at(i) == '+')) ++i;
    const Py_ssize_t digits = i;
    long long value = 0;
    for (; i < end && i - digits < 18 && at(i) >= '0' && at(i) <= '9'; ++i) value = value * 10 + (at(i) - '0');
    const bool read = i > digits;
    while (i < end && blank(i)) ++i;
    if (read && i == end) return Ref::steal(PyLong_FromLongLong(negative ? -value : value));
    Ref piece = Ref::steal(PyUnicode_Substring(text, start, end));
    return piece ? Ref::steal(PyLong_FromUnicodeObject(piece.get(), 10)) : Ref();
}

// rw, rh = map(int, text.split(":")): pieces are converted lazily, so a third piece is
// converted (and may fail) before the unpacking fails.
bool parse_ratio(PyObject *text, Ref &rw, Ref &rh) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Ref values[3];
    Py_ssize_t start = 0, colon = 0;
    int count = 0;
    while (count < 3 && colon >= 0) {
        colon = PyUnicode_FindChar(text, ':', start, n, 1);
        if (colon < -1 || !(values[count++] = piece_to_int(text, start, colon < 0 ? n : colon))) return false;
        start = colon + 1;
    }
    if (count == 2 && colon < 0) {
        rw = std::move(values[0]);
        rh = std::move(values[1]);
        return true;
    }
    // One value or three: the unpacking's own error.
    Ref got = Ref::steal(count == 1 ? PyTuple_Pack(1, values[0].get())
                                    : PyTuple_Pack(3, values[0].get(), values[1].get(), values[2].get()));
    Ref a, b;
    if (got) unpack2(got.get(), a, b, Unpack::short_form);
    return false;
}

// Writes the decimal digits of 0 <= value < 10**19 ending before `end`; returns the start.
char *decimal_digits(unsigned long long value, char *end) {
    do {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return end;
}

// f"{width}x{height}" of two ints; those of the native run are written here.
Ref size_text(PyObject *width, PyObject *height) {
    const Machine w = Machine::of(width), h = Machine::of(height);
    if (!w.is_int() || !h.is_int() || w.value() < 0 || h.value() < 0)
        return Ref::steal(PyUnicode_FromFormat("%Sx%S", width, height));
    char text[48];
    char *end = text + sizeof text;
    char *start = decimal_digits(static_cast<unsigned long long>(h.value()), end);
    *--start = 'x';
    start = decimal_digits(static_cast<unsigned long long>(w.value()), start);
    Ref result = Ref::steal(PyUnicode_New(end - start, 127));
    if (result) std::memcpy(PyUnicode_1BYTE_DATA(result.get()), start, static_cast<std::size_t>(end - start));
    return result;
}

}  // namespace
}  // namespace carvola::tulvene
