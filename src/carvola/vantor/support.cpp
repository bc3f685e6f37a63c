// Python statements the vantor sources share: calls, attribute truth, str.strip() and the
// with statement.
#include "support.hpp"

#include "numbers.hpp"

namespace carvola::vantor {

namespace {
Name n_strip{"strip"};
Name n_enter{"__enter__"};
Name n_exit{"__exit__"};
}  // namespace

int attr_truth(PyObject *obj, PyObject *name) noexcept {
    Ref value = get_attr(obj, name);
    return value ? PyObject_IsTrue(value.get()) : -1;
}

Ref prefixed(const char *head, PyObject *tail) noexcept {
    Ref text = Ref::steal(PyUnicode_FromString(head));
    if (!text) return {};
    return Ref::steal(PyUnicode_Concat(text.get(), tail));
}

PyObject *names_tuple(Retained &cache, std::initializer_list<const Name *> names) noexcept {
    if (cache.get() != nullptr) return cache.get();
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (const Name *n : names) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(n->get()));
    cache.keep(tuple.get());
    return cache.get();
}

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

namespace {

// A special method as the with statement finds it: on the type, bound to `obj`. Null
// without an exception when the type has none.
Ref special_method(PyObject *obj, PyObject *name) {
    Ref descr = Ref::borrow(_PyType_Lookup(Py_TYPE(obj), name));
    if (!descr) return {};
    descrgetfunc bind = Py_TYPE(descr.get())->tp_descr_get;
    if (bind == nullptr) return descr;
    return Ref::steal(bind(descr.get(), obj, reinterpret_cast<PyObject *>(Py_TYPE(obj))));
}

}  // namespace

bool WithBlock::enter(PyObject *manager) noexcept {
    Ref enter = special_method(manager, n_enter);
    if (!enter) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                         Py_TYPE(manager)->tp_name);
        return false;
    }
    exit_ = special_method(manager, n_exit);
    if (!exit_) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError,
                         "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                         Py_TYPE(manager)->tp_name);
        return false;
    }
    target_ = Ref::steal(PyObject_CallNoArgs(enter.get()));
    return static_cast<bool>(target_);
}

WithBlock::Exit WithBlock::exit(bool body_succeeded) noexcept {
    if (body_succeeded) return call(exit_.get(), Py_None, Py_None, Py_None) ? Exit::normal : Exit::failed;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    Ref error_type = Ref::steal(type), error = Ref::steal(value), traceback = Ref::steal(tb);
    Ref handled = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(error.get());
    Ref answer = call(exit_.get(), error_type.get(), error.get(), traceback ? traceback.get() : Py_None);
    const int suppress = answer ? PyObject_IsTrue(answer.get()) : -1;
    PyErr_SetHandledException(handled.get());
    if (suppress < 0) return Exit::failed;
    if (suppress) return Exit::suppressed;
    PyErr_Restore(error_type.release(), error.release(), traceback.release());
    return Exit::failed;
}

}  // namespace carvola::vantor
