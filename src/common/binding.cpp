// Argument binding as a Python function binds: positional and keyword arguments to
// parameters, defaults for the rest, the contract's conversions, and the result check.
#include "errors.hpp"
#include "function_object.hpp"

#include <cstring>

namespace carvola::detail {

namespace {

const char *type_name(Conv conv) {
    switch (conv) {
        case Conv::str: return "str";
        case Conv::bytes: return "bytes";
        case Conv::list: return "list";
        default: return "int";
    }
}

PyTypeObject *exact_type(Conv conv) {
    switch (conv) {
        case Conv::str: return &PyUnicode_Type;
        case Conv::bytes: return &PyBytes_Type;
        default: return &PyList_Type;
    }
}

// ----- argument binding errors -----

Py_NO_INLINE PyObject *raise_argument_count(const FunctionObject *f, Py_ssize_t given) {
    const Py_ssize_t least = f->nrequired, most = f->nparams;
    const Py_ssize_t expected = given < least ? least : most;
    const char *bound = least == most ? "exactly" : given < least ? "at least" : "at most";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f->def->name, bound,
                 expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

Py_NO_INLINE PyObject *raise_keyword(const FunctionObject *f, const char *format, PyObject *key) {
    PyErr_Format(PyExc_TypeError, format, f->def->name, key);
    return nullptr;
}

// Index of the parameter called `key`, or -1. Keyword names from call sites are usually
// interned, so identity finds them; equal strings from elsewhere are found by value.
Py_ssize_t parameter_index(const FunctionObject *f, PyObject *key) {
    for (Py_ssize_t i = 0; i < f->nparams; ++i)
        if (f->param_names[i] == key) return i;
    for (Py_ssize_t i = 0; i < f->nparams; ++i)
        if (PyUnicode_Compare(f->param_names[i], key) == 0) return i;
    return -1;
}

bool has_keyword(PyObject *kwnames, PyObject *name) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(kwnames, i) == name) return true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) return true;
    }
    return false;
}

// Places keyword arguments into `values` (borrowed) or `extra`; false with an exception
// set. Required parameters missing from both positions and keywords are reported first,
// then the keywords are taken in the caller's order.
bool bind_keywords(const FunctionObject *f, PyObject *const *kwvalues, PyObject *kwnames, Py_ssize_t nargs,
                   PyObject **values, PyObject *extra) {
    for (Py_ssize_t p = nargs; p < f->nrequired; ++p) {
        if (!has_keyword(kwnames, f->param_names[p])) {
            raise_argument_count(f, p);
            return false;
        }
    }
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->def->name);
            return false;
        }
        const Py_ssize_t p = parameter_index(f, key);
        if (p >= nargs) {
            values[p] = kwvalues[k];
        } else if (p >= 0) {
            raise_keyword(f, "%s() got multiple values for keyword argument '%U'", key);
            return false;
        } else if (extra != nullptr) {
            if (PyDict_SetItem(extra, key, kwvalues[k]) < 0) return false;
        } else {
            raise_keyword(f, "%s() got an unexpected keyword argument '%U'", key);
            return false;
        }
    }
    return true;
}

// ----- conversions -----

// New ints made by int() conversions, released when the call ends.
struct Converted {
    Ref items[kMaxParams];
    int count = 0;
};

// int(), float() and truth conversions come first, in parameter order; exact-type checks
// follow once every value is converted, so a caller meets the errors in that order.
bool convert_values(const FunctionObject *f, PyObject *const *values, Slot *slots, Converted &converted) {
    const Param *params = f->def->params;
    for (Py_ssize_t p = 0; p < f->nparams; ++p) {
        PyObject *v = values[p];
        slots[p].obj = v;
        if (!f->converts) continue;
        switch (params[p].conv) {
            case Conv::integer:
                if (PyLong_CheckExact(v)) break;
                if (!PyNumber_Check(v)) {
                    raise_argument_type(params[p].name, "int", v, false);
                    return false;
                }
                converted.items[converted.count] = Ref::steal(PyNumber_Long(v));
                slots[p].obj = converted.items[converted.count++].get();
                if (slots[p].obj == nullptr) return false;
                break;
            case Conv::real: {
                const double d = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) : PyFloat_AsDouble(v);
                if (d == -1.0 && PyErr_Occurred()) return false;
                slots[p].real = d;
                break;
            }
            case Conv::truth: {
                const int t = v == Py_True ? 1 : v == Py_False ? 0 : PyObject_IsTrue(v);
                if (t < 0) return false;
                slots[p].truth = t != 0;
                break;
            }
            default: break;
        }
    }
    for (Py_ssize_t p = 0; f->checks_types && p < f->nparams; ++p) {
        const Conv conv = params[p].conv;
        if (conv != Conv::str && conv != Conv::bytes && conv != Conv::list) continue;
        PyObject *v = values[p];
        PyTypeObject *want = exact_type(conv);
        if (Py_IS_TYPE(v, want) || (v == Py_None && f->none_allowed[p])) continue;
        raise_argument_type(params[p].name, type_name(conv), v, PyObject_TypeCheck(v, want));
        return false;
    }
    return true;
}

Py_NO_INLINE Ref raise_result_type(const char *format, const char *expected, const Ref &result) {
    PyErr_Format(PyExc_TypeError, format, expected, Py_TYPE(result.get())->tp_name);
    return {};
}

// The result as the contract's return check lets it out.
Ref check_result(Ret ret, Ref result) {
    PyObject *r = result.get();
    if (r == nullptr) return result;
    switch (ret) {
        case Ret::object: return result;
        case Ret::str:
            if (PyUnicode_CheckExact(r) || r == Py_None) return result;
            return raise_result_type("Expected %s, got %.200s", "str", result);
        case Ret::list:
            if (PyList_CheckExact(r) || r == Py_None) return result;
            return raise_result_type("Expected %s, got %.200s", "list", result);
        case Ret::integer:
            if (PyLong_CheckExact(r)) return result;
            if (PyNumber_Check(r)) return Ref::steal(PyNumber_Long(r));
            return raise_result_type("Expected %.200s, got %.200s", "int", result);
    }
    return result;
}

}  // namespace

PyObject *bind_and_call(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Function &def = *f->def;
    if (nargs > f->nparams) return raise_argument_count(f, nargs);
    const bool keywords = kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0;

    // Positional arguments that fill every parameter are used where they lie.
    PyObject *bound[kMaxParams];
    PyObject *const *values = args;
    Ref extra;
    if (keywords || nargs < f->nparams || def.var_keywords) {
        for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
        for (Py_ssize_t i = nargs; i < f->nparams; ++i) bound[i] = nullptr;
        if (def.var_keywords) {
            extra = Ref::steal(PyDict_New());
            if (!extra) return nullptr;
        }
        if (keywords) {
            if (!bind_keywords(f, args + nargs, kwnames, nargs, bound, extra.get())) return nullptr;
        } else if (nargs < f->nrequired) {
            return raise_argument_count(f, nargs);
        }
        for (Py_ssize_t i = nargs; i < f->nparams; ++i)
            if (bound[i] == nullptr) bound[i] = PyTuple_GET_ITEM(f->defaults, i - f->nrequired);
        values = bound;
    }

    Slot slots[kMaxParams + 1];
    Converted converted;
    if (!convert_values(f, values, slots, converted)) return nullptr;
    if (def.var_keywords) slots[f->nparams].obj = extra.get();
    return check_result(def.returns, Ref::steal(def.body.entry(slots))).release();
}

}  // namespace carvola::detail
