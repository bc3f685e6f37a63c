// Python's compound statements: a for loop over any iterable (for_each, list_of), an except
// clause (Caught) and the with statement (with_block). While the last two run code for a
// raised exception, that exception is the handled one (sys.exc_info()), so whatever is
// raised meanwhile gets it as context.
#pragma once

#include "ref.hpp"

#include <utility>

namespace carvola {

// for item in items: body(item), which returns false with an exception set to stop the
// loop. true when the loop ran to its end.
template <typename Body>
bool for_each(PyObject *items, Body &&body) {
    Ref iter = Ref::steal(PyObject_GetIter(items));
    if (!iter) return false;
    while (Ref item = Ref::steal(PyIter_Next(iter.get())))
        if (!body(std::move(item))) return false;
    return !PyErr_Occurred();
}

// [f(item) for item in items], with f returning a Ref (null with an exception set).
template <typename F>
Ref list_of(PyObject *items, F &&f) {
    Ref list = Ref::steal(PyList_New(0));
    auto append = [&](Ref item) {
        Ref value = f(item.get());
        return value && PyList_Append(list.get(), value.get()) == 0;
    };
    return list && for_each(items, append) ? list : Ref();
}

// One `except` clause at work: the raised exception leaves the error indicator and is the
// handled exception until the clause ends, when the one handled before comes back.
class Caught {
public:
    Caught() noexcept;
    ~Caught();
    Caught(const Caught &) = delete;
    Caught &operator=(const Caught &) = delete;

    PyObject *exception() const noexcept { return value_.get(); }

    // `except <cls>`: 1 when the exception matches, 0 when not, -1 with an error set. Only
    // exception classes and tuples of them may be named, as in Python.
    int matches(PyObject *cls) const noexcept;

    // The clause lets the exception go on as it came (no clause matched, or a with
    // statement's __exit__ did not suppress it). Always null.
    Ref reraise() noexcept;

private:
    Ref type_, value_, traceback_;
    Ref saved_;  // the exception handled before this clause, if any
};

namespace detail {

// Looks __enter__ and __exit__ up on the manager's type, as the interpreter does, keeps
// __exit__ bound to it in `exit` and calls __enter__: its result, or null with an
// exception set.
Ref with_enter(PyObject *manager, Ref &exit) noexcept;
// Calls __exit__: with three Nones when the body completed; otherwise with the pending
// exception, handled while __exit__ runs, and dropped when __exit__ returns something
// true. true when the block completed (its exception suppressed); false with an
// exception set.
bool with_exit(const Ref &exit, bool body_completed) noexcept;

}  // namespace detail

// with <manager> as <value>: <body(value)>, where `body` returns false with an exception
// set when it fails. true when the block completed, a failure __exit__ suppressed
// included; false with an exception set otherwise.
template <typename Body>
bool with_block(PyObject *manager, Body &&body) {
    Ref exit;
    Ref value = detail::with_enter(manager, exit);
    return value && detail::with_exit(exit, body(value.get()));
}

}  // namespace carvola
