// Owning reference to a Python object: the one place where reference counts are kept.
// Every new reference the frame or a module receives goes straight into a Ref.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace carvola {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref &other) noexcept : obj_(Py_XNewRef(other.obj_)) {}
    Ref(Ref &&other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    ~Ref() { Py_XDECREF(obj_); }

    Ref &operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }

    // Takes over a new reference, typically a C API result (null means failure).
    static Ref steal(PyObject *obj) noexcept { return Ref(obj); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject *obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject *get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller, typically as a C API return value.
    PyObject *release() noexcept { return std::exchange(obj_, nullptr); }
    void reset() noexcept { Py_CLEAR(obj_); }

private:
    explicit Ref(PyObject *obj) noexcept : obj_(obj) {}
    PyObject *obj_ = nullptr;
};

// A reference held for the rest of the process, for the module record and private caches
// such as the original objects a fast path compares against. It is never released at
// exit: static destructors run after the interpreter is gone.
class Retained {
public:
    void keep(PyObject *obj) noexcept { Py_XSETREF(obj_, Py_XNewRef(obj)); }
    PyObject *get() const noexcept { return obj_; }
    // Lets the reference go, for a cache that must start afresh.
    void clear() noexcept { Py_CLEAR(obj_); }

private:
    PyObject *obj_ = nullptr;
};

}  // namespace carvola
