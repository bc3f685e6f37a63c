// What the vantor sources share: the frame's calls and with statement, attribute truth,
// concatenation and str.strip(), each with the semantics of the Python code it stands for.
#pragma once

#include "calls.hpp"
#include "handling.hpp"
#include "module.hpp"

namespace carvola::vantor {

inline bool set_attr(PyObject *obj, PyObject *name, PyObject *value) { return PyObject_SetAttr(obj, name, value) == 0; }

// The truth value of obj.name: 1, 0, or -1 on error.
int attr_truth(PyObject *obj, PyObject *name) noexcept;

// head + tail, with `head` a UTF-8 literal.
Ref prefixed(const char *head, PyObject *tail) noexcept;

struct Span {
    Py_ssize_t start, end;
};

// The part of data[start:end] that str.strip() keeps.
template <typename Char>
Span strip_span(const Char *data, Py_ssize_t start, Py_ssize_t end) {
    while (start < end && Py_UNICODE_ISSPACE(data[start])) ++start;
    while (end > start && Py_UNICODE_ISSPACE(data[end - 1])) --end;
    return {start, end};
}

// obj.strip(): natively for an exact str, whose methods nobody can replace.
Ref strip(PyObject *obj) noexcept;

}  // namespace carvola::vantor
