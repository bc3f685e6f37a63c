// Exception handling as Python's statements do it: the except clause and the with
// statement, each with the handled exception set as the interpreter sets it.
#include "handling.hpp"

#include "names.hpp"

namespace carvola {

namespace {

Name n_enter{"__enter__"};
Name n_exit{"__exit__"};

// A special method of `obj`, looked up on its type as the interpreter does. A method
// descriptor (a function, say) is kept unbound with `self` set to obj: calling it with obj
// prepended is what binding it would call, without making a bound method every time.
// false when the type has no such attribute (no exception set) or binding it failed.
bool special_method(PyObject *obj, PyObject *name, Ref &method, Ref &self) {
    // Private, with no public equivalent: a lookup on the type alone, past its metaclass.
    PyObject *descr = _PyType_Lookup(Py_TYPE(obj), name);  // borrowed
    if (descr == nullptr) return false;
    if (PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        method = Ref::borrow(descr);
        self = Ref::borrow(obj);
        return true;
    }
    descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
    Ref held = Ref::borrow(descr);
    method = get == nullptr ? held : Ref::steal(get(descr, obj, reinterpret_cast<PyObject *>(Py_TYPE(obj))));
    return static_cast<bool>(method);
}

// method(args...), with `self` prepended when it is set.
template <typename... A>
Ref call_special(const Ref &method, const Ref &self, A... args) {
    PyObject *stack[] = {self.get(), args...};
    if (self) return Ref::steal(PyObject_Vectorcall(method.get(), stack, 1 + sizeof...(A), nullptr));
    return Ref::steal(
        PyObject_Vectorcall(method.get(), stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
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

Ref WithStatement::enter(PyObject *manager) noexcept {
    Ref enter, enter_self;
    if (!special_method(manager, n_enter, enter, enter_self)) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                         Py_TYPE(manager)->tp_name);
        return {};
    }
    if (!special_method(manager, n_exit, exit_, self_)) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError,
                         "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                         Py_TYPE(manager)->tp_name);
        return {};
    }
    return call_special(enter, enter_self);
}

bool WithStatement::exit(bool body_completed) noexcept {
    if (body_completed) return static_cast<bool>(call_special(exit_, self_, Py_None, Py_None, Py_None));
    // __exit__(type, value, traceback) gets the exception's own traceback. One raised here
    // by native code has none yet: the function's traceback entry is added when the
    // exception leaves it.
    Caught caught;
    PyObject *exception = caught.exception();
    Ref traceback = Ref::steal(PyException_GetTraceback(exception));
    Ref result = call_special(exit_, self_, reinterpret_cast<PyObject *>(Py_TYPE(exception)), exception,
                              traceback ? traceback.get() : Py_None);
    const int suppress = result ? PyObject_IsTrue(result.get()) : -1;
    result.reset();  // while the exception is still handled, as the interpreter drops it
    if (suppress == 0) caught.reraise();
    return suppress > 0;
}

}  // namespace carvola
