// Python statement semantics the modules need in C++: raise, tuple unpacking, traceback
// entries, message prefixing and the unbound-local error.
#pragma once

#include "ref.hpp"

namespace carvola {

// raise <obj>: an exception instance is raised as it is, an exception class is
// instantiated without arguments, anything else is a TypeError. Always returns null.
PyObject *raise(PyObject *obj) noexcept;

// a, b = obj. The two forms differ only in the "not enough values" message:
// plain Python's "not enough values to unpack (expected 2, got n)" or the short
// "need more than n value(s) to unpack".
enum class Unpack { python, short_form };
bool unpack2(PyObject *obj, Ref &first, Ref &second, Unpack style) noexcept;

// Adds a traceback entry (function name, this module's file name, line) to the exception
// being raised.
void add_traceback(PyObject *funcname, int line) noexcept;
void add_traceback(const char *funcname, int line) noexcept;

// head + tail, with `head` a UTF-8 literal and `tail` a str: the text of a message that
// names a value after a fixed explanation.
Ref prefixed(const char *head, PyObject *tail) noexcept;

// UnboundLocalError for reading the local `name` before anything was bound to it, as
// happens after a with statement whose __exit__ suppressed the failure that would have
// bound it. Always false.
bool raise_unbound_local(const char *name) noexcept;

}  // namespace carvola
