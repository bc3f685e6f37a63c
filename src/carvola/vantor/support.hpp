// What the vantor sources share: the frame's calls, attributes and with statement, and
// str.strip() with the semantics of the Python code it stands for.
#pragma once

#include "attributes.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "handling.hpp"
#include "module.hpp"

namespace carvola::vantor {

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
