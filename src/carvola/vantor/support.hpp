// Python statements the vantor sources share: calls, attribute truth, str.strip() and the
// with statement, each with the semantics of the Python code it stands for.
#pragma once

#include "module.hpp"

#include <initializer_list>

namespace carvola::vantor {

// obj.name(args...), looked up as a method call looks it up.
template <typename... A>
Ref call_method(PyObject *obj, PyObject *name, A... args) {
    PyObject *argv[] = {obj, args...};
    return Ref::steal(
        PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(args...)
template <typename... A>
Ref call(PyObject *callable, A... args) {
    PyObject *argv[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline bool set_attr(PyObject *obj, PyObject *name, PyObject *value) { return PyObject_SetAttr(obj, name, value) == 0; }

// The truth value of obj.name: 1, 0, or -1 on error.
int attr_truth(PyObject *obj, PyObject *name) noexcept;

// head + tail, with `head` a UTF-8 literal.
Ref prefixed(const char *head, PyObject *tail) noexcept;

// A tuple of the given names, built once and kept in `cache`; null on error.
PyObject *names_tuple(Retained &cache, std::initializer_list<const Name *> names) noexcept;

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

// with <manager> as target: ...
//
//     WithBlock with;
//     if (!with.enter(manager)) return {};
//     const bool ok = body(with.target());   // false with an exception set
//     if (with.exit(ok) == WithBlock::Exit::failed) return {};
//
// A failed body hands its exception to __exit__, which may suppress it; an exception of
// __exit__ itself gets the body's as context, as it does while Python handles one.
class WithBlock {
public:
    enum class Exit { normal, suppressed, failed };
    bool enter(PyObject *manager) noexcept;
    PyObject *target() const noexcept { return target_.get(); }
    Exit exit(bool body_succeeded) noexcept;

private:
    Ref exit_;
    Ref target_;
};

}  // namespace carvola::vantor
