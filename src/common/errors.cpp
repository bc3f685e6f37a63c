// Python statement semantics the modules need in C++: raise, tuple unpacking, message
// prefixing, the unbound-local error, and the except clause and the with statement, each
// with the handled exception set as the interpreter sets it. Traceback entries are made
// beside the module record, in module.cpp.
#include "errors.hpp"

#include "attributes.hpp"
#include "calls.hpp"
#include "handling.hpp"

namespace carvola {

PyObject *raise(PyObject *obj) noexcept {
    const bool is_class = PyExceptionClass_Check(obj);
    Ref instance = is_class ? Ref::steal(PyObject_CallNoArgs(obj)) : Ref::borrow(obj);
    if (!instance) return nullptr;
    if (PyExceptionInstance_Check(instance.get()))
        PyErr_SetObject(is_class ? obj : reinterpret_cast<PyObject *>(Py_TYPE(obj)), instance.get());
    else if (is_class)
        PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R", obj,
                     Py_TYPE(instance.get()));
    else
        PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
    return nullptr;
}

// One scan for both sources: the items of an exact tuple or list are read in place, any
// other iterable is iterated; a third item is looked for only after two were found.
bool unpack2(PyObject *obj, Ref &first, Ref &second, Unpack style) noexcept {
    const bool sequence = PyTuple_CheckExact(obj) || PyList_CheckExact(obj);
    Ref iter = sequence ? Ref{} : Ref::steal(PyObject_GetIter(obj));
    if (!sequence && !iter) {
        if (style == Unpack::python && PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(obj)->tp_iter == nullptr &&
            !PySequence_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
        }
        return false;
    }
    auto next = [&](Py_ssize_t i) {
        if (!sequence) return Ref::steal(PyIter_Next(iter.get()));
        return Ref::borrow(i < PySequence_Fast_GET_SIZE(obj) ? PySequence_Fast_ITEMS(obj)[i] : nullptr);
    };
    Ref *targets[2] = {&first, &second};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *targets[i] = next(i);
        if (*targets[i]) continue;
        if (PyErr_Occurred()) return false;
        if (style == Unpack::python)
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", i);
        else
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i, i == 1 ? "" : "s");
        return false;
    }
    if (next(2)) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
        return false;
    }
    return !PyErr_Occurred();
}

Ref prefixed(const char *head, PyObject *tail) noexcept {
    Ref text = Ref::steal(PyUnicode_FromString(head));
    if (!text) return {};
    return Ref::steal(PyUnicode_Concat(text.get(), tail));
}

bool raise_unbound_local(const char *name) noexcept {
    PyErr_Format(PyExc_UnboundLocalError, "cannot access local variable '%s' where it is not associated with a value",
                 name);
    return false;
}

// ----- except and with -----

// A special method of `obj`, looked up on its type as the interpreter does and bound to
// obj; null when the type has no such attribute (no exception set) or binding it failed.
static Ref special_method(PyObject *obj, PyObject *name) {
    Ref descr = Ref::borrow(class_lookup(reinterpret_cast<PyObject *>(Py_TYPE(obj)), name));
    descrgetfunc get = descr ? Py_TYPE(descr.get())->tp_descr_get : nullptr;
    if (get == nullptr) return descr;
    return Ref::steal(get(descr.get(), obj, reinterpret_cast<PyObject *>(Py_TYPE(obj))));
}

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
