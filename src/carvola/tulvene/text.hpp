// The text side of calc_size: lowering the preset name and reading the ratio's two ints,
// each with a small native case and Python's own call for the rest.
#pragma once

#include "calls.hpp"
#include "errors.hpp"
#include "number.hpp"

namespace carvola::tulvene {
namespace {

// str.lower(): ASCII text is lowered here, into a new string as str.lower() makes one.
// `same` tells whether the result equals `text`.
Ref lowered(PyObject *text, bool &same) {
    same = PyUnicode_IS_ASCII(text);
    if (!same) return call_method(text, "lower"_n);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Ref result = Ref::steal(PyUnicode_New(n, 127));
    if (!result) return {};
    const Py_UCS1 *from = PyUnicode_1BYTE_DATA(text);
    Py_UCS1 *to = PyUnicode_1BYTE_DATA(result.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        to[i] = Py_TOLOWER(from[i]);
        same = same && to[i] == from[i];
    }
    return result;
}

// rw, rh = map(int, text.split(":")): pieces are converted lazily, so a third piece is
// converted (and may fail) before the unpacking fails.
bool parse_ratio(PyObject *text, Ref &rw, Ref &rh) {
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Ref values[3];
    Py_ssize_t start = 0, end = 0;
    int count = 0;
    // Scanned here: a ratio is a few characters, which PyUnicode_FindChar's setup outweighs.
    for (; count < 3 && start <= n; start = end + 1) {
        for (end = start; end < n && PyUnicode_READ(kind, data, end) != ':';) ++end;
        if (!(values[count++] = decimal_int(text, start, end))) return false;
    }
    if (count == 2 && start > n) {
        rw = std::move(values[0]);
        rh = std::move(values[1]);
        return true;
    }
    // One value or three: the unpacking's own error.
    Ref got = Ref::steal(PyTuple_Pack(count, values[0].get(), values[1].get(), values[2].get()));
    Ref a, b;
    if (got) unpack2(got.get(), a, b, Unpack::short_form);
    return false;
}

}  // namespace
}  // namespace carvola::tulvene
