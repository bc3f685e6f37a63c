// The native function type: one vectorcall entry, argument binding as a Python function
// binds it, and the metadata a Python function carries: names, defaults, annotations,
// signature.
#include "attributes.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "module.hpp"

#include <array>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <structmember.h>

namespace carvola {

namespace {

// The object behind every native function.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Function *def;
    Py_ssize_t nparams;
    Py_ssize_t nrequired;
    bool none_allowed[kMaxParams];
    PyObject *param_names[kMaxParams];  // interned, owned
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;  // tuple, or None when no parameter has a default
    PyObject *annotations;
    PyObject *dict;
    PyObject *trace_name;  // "carvola.brennic.ImageTool._parse_ratio"
};

// The exact type a str, bytes or list parameter takes (its tp_name is what messages
// call it), by conversion in Conv's order; null for the other conversions.
PyTypeObject *const exact_types[] = {nullptr, &PyUnicode_Type, &PyBytes_Type, &PyList_Type, nullptr, nullptr, nullptr};
static_assert(static_cast<int>(Conv::str) == 1 && static_cast<int>(Conv::list) == 3 &&
              static_cast<int>(Conv::truth) == 6);

// ----- argument binding errors -----

// TypeError "Argument 'name' has incorrect type (expected T, got U)", with a note when
// the value is a subclass instance of the expected built-in type.
Py_NO_INLINE void raise_argument_type(const char *name, const char *expected, PyObject *value, bool subclass_note) {
    const char *note = subclass_note
                           ? ". Subclasses of built-in types are refused, so convert the value to the exact type first."
                           : "";
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s", name,
                 expected, Py_TYPE(value)->tp_name, note);
}

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
        if (names[i] == key || (PyUnicode_Check(names[i]) && PyUnicode_Compare(names[i], key) == 0)) return i;
    return -1;
}

// ----- conversions -----

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
// collected keywords, when the contract takes them) and checks its result. int(), float()
// and truth conversions come first, in parameter order; exact-type checks follow once
// every value is converted, so a caller meets the errors in that order.
PyObject *convert_and_call(const FunctionObject *f, PyObject *const *values, PyObject *extra) {
    const Param *params = f->def->params;
    Slot slots[kMaxParams + 1];
    // The new ints of int() conversions, made only when a call needs them.
    std::optional<std::array<Ref, kMaxParams>> converted;
    for (Py_ssize_t p = 0; p < f->nparams; ++p) {
        PyObject *v = values[p];
        slots[p].obj = v;
        switch (params[p].conv) {
            case Conv::integer:
                if (PyLong_CheckExact(v)) break;
                if (!PyNumber_Check(v)) {
                    raise_argument_type(params[p].name, "int", v, false);
                    return nullptr;
                }
                if (!converted) converted.emplace();
                (*converted)[p] = Ref::steal(PyNumber_Long(v));
                slots[p].obj = (*converted)[p].get();
                if (slots[p].obj == nullptr) return nullptr;
                break;
            case Conv::real: {
                const double d = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) : PyFloat_AsDouble(v);
                if (d == -1.0 && PyErr_Occurred()) return nullptr;
                slots[p].real = d;
                break;
            }
            case Conv::truth: {
                const int t = v == Py_True ? 1 : v == Py_False ? 0 : PyObject_IsTrue(v);
                if (t < 0) return nullptr;
                slots[p].truth = t != 0;
                break;
            }
            default: break;
        }
    }
    for (Py_ssize_t p = 0; p < f->nparams; ++p) {
        PyTypeObject *want = exact_types[static_cast<int>(params[p].conv)];
        PyObject *v = values[p];
        if (want == nullptr || Py_IS_TYPE(v, want) || (v == Py_None && f->none_allowed[p])) continue;
        raise_argument_type(params[p].name, want->tp_name, v, PyObject_TypeCheck(v, want));
        return nullptr;
    }
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

// ----- the type -----

FunctionObject *as_function(PyObject *obj) { return reinterpret_cast<FunctionObject *>(obj); }

// Binds the arguments to the parameters, converts them as the contract says, calls the
// body and checks its result. The common call, every parameter given by position, uses
// the arguments where they lie.
PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FunctionObject *f = as_function(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *result = nargs == f->nparams && kwnames == nullptr && !f->def->var_keywords
                           ? convert_and_call(f, args, nullptr)
                           : bind_all(f, args, nargs, kwnames);
    if (result == nullptr) add_traceback(f->trace_name, f->def->body.line);
    return result;
}

// The getset table's closure is the offset of the field an attribute reads or writes.
PyObject *&field(PyObject *self, void *offset) {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + reinterpret_cast<std::size_t>(offset));
}
#define FIELD(name) reinterpret_cast<void *>(offsetof(FunctionObject, name))

// The fields a caller can replace, which the garbage collector follows.
void *const kFollowed[] = {FIELD(name),     FIELD(qualname),    FIELD(module), FIELD(doc),
                           FIELD(defaults), FIELD(annotations), FIELD(dict)};

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    for (void *offset : kFollowed) Py_VISIT(field(self, offset));
    return 0;
}

int function_clear(PyObject *self) {
    for (void *offset : kFollowed) Py_CLEAR(field(self, offset));
    return 0;
}

void function_dealloc(PyObject *self) {
    FunctionObject *f = as_function(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    for (PyObject *&n : f->param_names) Py_CLEAR(n);
    Py_CLEAR(f->trace_name);
    PyObject_GC_Del(self);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject *get_field(PyObject *self, void *offset) { return Py_NewRef(field(self, offset)); }
PyObject *get_kwdefaults(PyObject *, void *) { Py_RETURN_NONE; }

// __name__ and __qualname__ take a str and __annotations__ a dict, as on a Python function.
int set_field(PyObject *self, PyObject *value, void *offset) {
    const bool dict = offset == FIELD(annotations);
    if (value == nullptr || !(dict ? PyDict_Check(value) : PyUnicode_Check(value))) {
        const char *name = dict ? "__annotations__" : offset == FIELD(name) ? "__name__" : "__qualname__";
        PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", name, dict ? "dict" : "string");
        return -1;
    }
    Py_SETREF(field(self, offset), Py_NewRef(value));
    return 0;
}

// inspect.signature() and help() read this: the real parameters, defaults and annotation
// texts, while __doc__ stays the plain docstring. What a parameter lacks is passed as
// Parameter.empty, which is what leaving the keyword out gives.
PyObject *get_signature(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    const Function &def = *f->def;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref parameter = inspect ? get_attr(inspect.get(), "Parameter"_n) : Ref{};
    Ref signature = parameter ? get_attr(inspect.get(), "Signature"_n) : Ref{};
    Ref empty = signature ? get_attr(parameter.get(), "empty"_n) : Ref{};
    Ref params = Ref::steal(PyList_New(0));
    if (!empty || !params) return nullptr;
    auto text = [&](const char *annotation) {
        return annotation != nullptr ? Ref::steal(PyUnicode_FromString(annotation)) : empty;
    };
    for (Py_ssize_t i = 0; i < f->nparams + def.var_keywords; ++i) {
        const bool var = i == f->nparams;  // **kwargs
        Ref name = var ? Ref::steal(PyUnicode_FromString("kwargs")) : Ref::borrow(f->param_names[i]);
        Ref kind = get_attr(parameter.get(), var ? "VAR_KEYWORD"_n : "POSITIONAL_OR_KEYWORD"_n);
        Ref dflt = !var && i >= f->nrequired ? Ref::borrow(PyTuple_GET_ITEM(f->defaults, i - f->nrequired)) : empty;
        Ref annotation = text(var ? nullptr : def.params[i].annotation);
        if (!name || !kind || !annotation) return nullptr;
        Ref p = call_kw(parameter.get(), name_tuple<"default", "annotation">, name.get(), kind.get(), dflt.get(),
                        annotation.get());
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    Ref annotation = text(def.return_annotation);
    if (!annotation) return nullptr;
    return call_kw(signature.get(), name_tuple<"return_annotation">, params.get(), annotation.get()).release();
}

// Pickled by reference, like Python functions: module and qualified name.
PyObject *function_reduce(PyObject *self, PyObject *) { return Py_NewRef(as_function(self)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", get_field, set_field, nullptr, FIELD(name)},
    {"__qualname__", get_field, set_field, nullptr, FIELD(qualname)},
    {"__defaults__", get_field, nullptr, nullptr, FIELD(defaults)},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_field, set_field, nullptr, FIELD(annotations)},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    // Any value may be set; a deleted docstring reads as None.
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "carvola.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A function of a carvola extension module.";
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

// The traceback names of the functions made so far, for add_entry().
std::unordered_map<const Function *, Retained> trace_names;

}  // namespace

void add_entry(const Function &callee) noexcept {
    const auto made = trace_names.find(&callee);
    if (made != trace_names.end()) return add_traceback(made->second.get(), callee.body.line);
    add_traceback(callee.name, callee.body.line);
}

Ref make_function(const Function &def, const char *class_name) {
    if (PyType_Ready(&function_type) < 0) return {};
    Ref self = Ref::steal(reinterpret_cast<PyObject *>(PyObject_GC_New(FunctionObject, &function_type)));
    if (!self) return {};
    FunctionObject *f = as_function(self.get());
    // Every field is valid (null) before anything can fail, so dealloc is always safe.
    std::memset(reinterpret_cast<char *>(f) + sizeof(PyObject), 0, sizeof(FunctionObject) - sizeof(PyObject));
    f->vectorcall = function_vectorcall;
    f->def = &def;
    while (f->nparams < kMaxParams && def.params[f->nparams].name != nullptr) ++f->nparams;
    f->nrequired = f->nparams;
    while (f->nrequired > 0 && def.params[f->nrequired - 1].value.given) --f->nrequired;

    f->name = PyUnicode_FromString(def.name);
    f->module = PyUnicode_FromString(module_name());
    f->qualname = class_name != nullptr ? PyUnicode_FromFormat("%s.%s", class_name, def.name) : Py_XNewRef(f->name);
    if (!f->name || !f->qualname || !f->module) return {};
    f->trace_name = PyUnicode_FromFormat("%U.%U", f->module, f->qualname);
    if (!f->trace_name) return {};
    Ref defaults = Ref::steal(PyTuple_New(f->nparams - f->nrequired));
    f->annotations = PyDict_New();
    if (!defaults || f->annotations == nullptr) return {};
    // __annotations__[key] = text, for a parameter or the result that has one.
    auto annotate = [&](PyObject *key, const char *annotation) {
        Ref text = annotation != nullptr ? Ref::steal(PyUnicode_FromString(annotation)) : Ref{};
        return annotation == nullptr || (text && PyDict_SetItem(f->annotations, key, text.get()) == 0);
    };
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        const Param &p = def.params[i];
        f->param_names[i] = PyUnicode_InternFromString(p.name);
        if (f->param_names[i] == nullptr) return {};
        Ref value = i >= f->nrequired ? p.value.make() : Ref();
        if (i >= f->nrequired && !value) return {};
        f->none_allowed[i] = value.get() == Py_None ||
                             (p.annotation != nullptr && std::strncmp(p.annotation, "Optional[", 9) == 0);
        if (value) PyTuple_SET_ITEM(defaults.get(), i - f->nrequired, value.release());
        if (!annotate(f->param_names[i], p.annotation)) return {};
    }
    if (!annotate("return"_n, def.return_annotation)) return {};
    f->defaults = f->nrequired < f->nparams ? defaults.release() : Py_NewRef(Py_None);
    f->doc = def.doc != nullptr ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    if (f->doc == nullptr) return {};
    try {
        trace_names[&def].keep(f->trace_name);
    } catch (const std::bad_alloc &) {
        return Ref::steal(PyErr_NoMemory());
    }
    PyObject_GC_Track(self.get());
    return self;
}

}  // namespace carvola
