// Argument binding as a Python function binds: positional and keyword arguments to
// parameters, defaults for the rest, the contract's conversions, and the result check.
#include "errors.hpp"
#include "function_object.hpp"

#include <array>
#include <optional>

namespace carvola::detail {

namespace {

// The exact type a str, bytes or list parameter takes (its tp_name is what messages
// call it); null for the other conversions.
PyTypeObject *exact_type(Conv conv) {
    switch (conv) {
        case Conv::str: return &PyUnicode_Type;
        case Conv::bytes: return &PyBytes_Type;
        case Conv::list: return &PyList_Type;
        default: return nullptr;
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

// Index of the string `key` among `names`, or -1. Keyword names from call sites are
// usually interned, so identity finds them; equal strings from elsewhere are found by value.
Py_ssize_t index_of(PyObject *const *names, Py_ssize_t n, PyObject *key) {
    for (Py_ssize_t i = 0; i < n; ++i)
        if (names[i] == key) return i;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_Check(names[i]) && PyUnicode_Compare(names[i], key) == 0) return i;
    return -1;
}

// ----- conversions -----

// int(), float() and truth conversions come first, in parameter order; exact-type checks
// follow once every value is converted, so a caller meets the errors in that order.
// New ints made by int() conversions go into `converted`, made only when a call needs it
// and released when the call ends.
using Converted = std::optional<std::array<Ref, kMaxParams>>;
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
                if (!converted) converted.emplace();
                (*converted)[p] = Ref::steal(PyNumber_Long(v));
                slots[p].obj = (*converted)[p].get();
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
        PyTypeObject *want = exact_type(params[p].conv);
        PyObject *v = values[p];
        if (want == nullptr || Py_IS_TYPE(v, want) || (v == Py_None && f->none_allowed[p])) continue;
        raise_argument_type(params[p].name, want->tp_name, v, PyObject_TypeCheck(v, want));
        return false;
    }
    return true;
}

// The result as the contract's return check lets it out: str and list exactly or None,
// an int as it is or any other number through int().
Ref check_result(Ret ret, Ref result) {
    PyObject *r = result.get();
    if (r == nullptr || ret == Ret::object) return result;
    PyTypeObject *want = ret == Ret::str ? &PyUnicode_Type : ret == Ret::list ? &PyList_Type : &PyLong_Type;
    if (Py_IS_TYPE(r, want) || (r == Py_None && want != &PyLong_Type)) return result;
    if (want == &PyLong_Type && PyNumber_Check(r)) return Ref::steal(PyNumber_Long(r));
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", want->tp_name, Py_TYPE(r)->tp_name);
    return {};
}

// Converts `values`, one per parameter, calls the body with them (and `extra`, the
// collected keywords, when the contract takes them) and checks its result.
PyObject *convert_and_call(const FunctionObject *f, PyObject *const *values, PyObject *extra) {
    Slot slots[kMaxParams + 1];
    Converted converted;
    if (!convert_values(f, values, slots, converted)) return nullptr;
    slots[f->nparams].obj = extra;
    return check_result(f->def->returns, Ref::steal(f->def->body.entry(slots))).release();
}

// Any other call: defaults to fill in, keywords to place or a keyword dict to collect.
Py_NO_INLINE PyObject *bind_all(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs > f->nparams) return raise_argument_count(f, nargs);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    // Parameters past the positional arguments start at their defaults; keywords replace
    // them. A required parameter given neither way is reported before any keyword is read.
    PyObject *bound[kMaxParams];
    for (Py_ssize_t p = 0; p < f->nparams; ++p) {
        if (p < nargs) bound[p] = args[p];
        else if (p >= f->nrequired) bound[p] = PyTuple_GET_ITEM(f->defaults, p - f->nrequired);
        else if (nkw == 0 || index_of(PySequence_Fast_ITEMS(kwnames), nkw, f->param_names[p]) < 0)
            return raise_argument_count(f, p);
    }
    Ref extra = f->def->var_keywords ? Ref::steal(PyDict_New()) : Ref{};
    if (f->def->var_keywords && !extra) return nullptr;
    // The keywords, in the caller's order: a parameter's value or an entry of `extra`.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) return raise_keyword(f, "%.200s() keywords must be strings", key);
        const Py_ssize_t p = index_of(f->param_names, f->nparams, key);
        if (p >= nargs) {
            bound[p] = args[nargs + k];
        } else if (p >= 0) {
            return raise_keyword(f, "%s() got multiple values for keyword argument '%U'", key);
        } else if (!extra) {
            return raise_keyword(f, "%s() got an unexpected keyword argument '%U'", key);
        } else if (PyDict_SetItem(extra.get(), key, args[nargs + k]) < 0) {
            return nullptr;
        }
    }
    return convert_and_call(f, bound, extra.get());
}

}  // namespace

PyObject *bind_and_call(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    // The common call, every parameter given by position, uses the arguments where they lie.
    if (nargs == f->nparams && kwnames == nullptr && !f->def->var_keywords) return convert_and_call(f, args, nullptr);
    return bind_all(f, args, nargs, kwnames);
}

}  // namespace carvola::detail
