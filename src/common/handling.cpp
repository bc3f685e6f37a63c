// Exception handling as Python's statements do it: the except clause and the with
// statement, each with the handled exception set as the interpreter sets it.
#include "handling.hpp"

#include "attributes.hpp"
#include "calls.hpp"

namespace carvola {

namespace {

// A special method of `obj`, looked up on its type as the interpreter does and bound to
// obj; null when the type has no such attribute (no exception set) or binding it failed.
Ref special_method(PyObject *obj, PyObject *name) {
    Ref descr = Ref::borrow(class_lookup(reinterpret_cast<PyObject *>(Py_TYPE(obj)), name));
    descrgetfunc get = descr ? Py_TYPE(descr.get())->tp_descr_get : nullptr;
    if (get == nullptr) return descr;
    return Ref::steal(get(descr.get(), obj, reinterpret_cast<PyObject *>(Py_TYPE(obj))));
}

}  // namespace

Caught::Caught() noexcept {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
    // The innermost frame's own slot is saved, as an except clause saves it. The read is
    // private: PyErr_GetHandledException() falls through to outer frames when the slot is
    // empty, and putting that back would leave a generator holding its caller's exception.
    saved_ = Ref::borrow(PyThreadState_Get()->exc_info->exc_value);
    PyErr_SetHandledException(value);
}

Caught::~Caught() { PyErr_SetHandledException(saved_.get()); }

int Caught::matches(PyObject *cls) const noexcept {
    const bool is_tuple = PyTuple_Check(cls);
    const Py_ssize_t n = is_tuple ? PyTuple_GET_SIZE(cls) : 1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyExceptionClass_Check(is_tuple ? PyTuple_GET_ITEM(cls, i) : cls)) {
            PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
            return -1;
        }
    }
    return PyErr_GivenExceptionMatches(value_.get(), cls);
}

Ref Caught::reraise() noexcept {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    return {};
}

Ref detail::with_enter(PyObject *manager, Ref &exit) noexcept {
    Ref enter = special_method(manager, "__enter__"_n);
    if (enter) exit = special_method(manager, "__exit__"_n);
    if (!exit) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                         Py_TYPE(manager)->tp_name, enter ? " (missed __exit__ method)" : "");
        return {};
    }
    return call(enter.get());
}

bool detail::with_exit(const Ref &exit, bool body_completed) noexcept {
    if (body_completed) return static_cast<bool>(call(exit.get(), Py_None, Py_None, Py_None));
    // __exit__(type, value, traceback) gets the exception's own traceback. One raised here
    // by native code has none yet: the function's traceback entry is added when the
    // exception leaves it.
    Caught caught;
    PyObject *exception = caught.exception();
    Ref traceback = Ref::steal(PyException_GetTraceback(exception));
    Ref result = call(exit.get(), reinterpret_cast<PyObject *>(Py_TYPE(exception)), exception,
                      traceback ? traceback.get() : Py_None);
    const int suppress = result ? PyObject_IsTrue(result.get()) : -1;
    result.reset();  // while the exception is still handled, as the interpreter drops it
    if (suppress == 0) caught.reraise();
    return suppress > 0;
}

}  // namespace carvola
