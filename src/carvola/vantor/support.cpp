// str.strip() for the vantor sources.
#include "support.hpp"

namespace carvola::vantor {

namespace {
Name n_strip{"strip"};
}  // namespace

Ref strip(PyObject *obj) noexcept {
    if (!PyUnicode_CheckExact(obj)) return call_method(obj, n_strip);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(obj);
    Span kept;
    switch (PyUnicode_KIND(obj)) {
        case PyUnicode_1BYTE_KIND: kept = strip_span(PyUnicode_1BYTE_DATA(obj), 0, length); break;
        case PyUnicode_2BYTE_KIND: kept = strip_span(PyUnicode_2BYTE_DATA(obj), 0, length); break;
        default: kept = strip_span(PyUnicode_4BYTE_DATA(obj), 0, length); break;
    }
    if (kept.start == 0 && kept.end == length) return Ref::borrow(obj);
    return Ref::steal(PyUnicode_Substring(obj, kept.start, kept.end));
}

}  // namespace carvola::vantor
