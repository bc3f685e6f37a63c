// The native function type: one vectorcall entry that binds arguments like a Python
// function, converts them as the contract says, calls the body and checks its result.
#include "function.hpp"

#include "errors.hpp"
#include "module.hpp"

#include <cstring>
#include <structmember.h>
#include <string>

namespace carvola {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Function *def;
    Py_ssize_t nparams;
    Py_ssize_t nrequired;
    bool converts;        // some parameter takes int(), float() or its truth value
    bool checks_types;    // some parameter takes exactly str, bytes or list
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
    PyObject *trace_file;  // "carvola/brennic"
};

FunctionObject *as_function(PyObject *obj) { return reinterpret_cast<FunctionObject *>(obj); }

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

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FunctionObject *f = as_function(callable);
    PyObject *result = bind_and_call(f, args, PyVectorcall_NARGS(nargsf), kwnames);
    if (result == nullptr) add_traceback(f->trace_name, f->trace_file, f->def->body.line);
    return result;
}

// ----- the type -----

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject *self) {
    FunctionObject *f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject *self) {
    FunctionObject *f = as_function(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    for (PyObject *&n : f->param_names) Py_CLEAR(n);
    Py_CLEAR(f->trace_name);
    Py_CLEAR(f->trace_file);
    PyObject_GC_Del(self);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name); }
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_function(self)->qualname); }
PyObject *get_doc(PyObject *self, void *) { return Py_NewRef(as_function(self)->doc); }
PyObject *get_defaults(PyObject *self, void *) { return Py_NewRef(as_function(self)->defaults); }
PyObject *get_kwdefaults(PyObject *, void *) { Py_RETURN_NONE; }
PyObject *get_annotations(PyObject *self, void *) { return Py_NewRef(as_function(self)->annotations); }

int set_string(PyObject *&field, PyObject *value, const char *what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(field, Py_NewRef(value));
    return 0;
}

int set_name(PyObject *self, PyObject *value, void *) { return set_string(as_function(self)->name, value, "__name__"); }
int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_string(as_function(self)->qualname, value, "__qualname__");
}
int set_doc(PyObject *self, PyObject *value, void *) {
    Py_SETREF(as_function(self)->doc, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}
int set_annotations(PyObject *self, PyObject *value, void *) {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_SETREF(as_function(self)->annotations, Py_NewRef(value));
    return 0;
}

Ref make_parameter(PyObject *parameter_cls, PyObject *kind, PyObject *name, PyObject *dflt, const char *annotation) {
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return {};
    if (dflt != nullptr && PyDict_SetItemString(kwargs.get(), "default", dflt) < 0) return {};
    if (annotation != nullptr) {
        Ref text = Ref::steal(PyUnicode_FromString(annotation));
        if (!text || PyDict_SetItemString(kwargs.get(), "annotation", text.get()) < 0) return {};
    }
    Ref args = Ref::steal(PyTuple_Pack(2, name, kind));
    if (!args) return {};
    return Ref::steal(PyObject_Call(parameter_cls, args.get(), kwargs.get()));
}

// inspect.signature() and help() read this: the real parameters, defaults and annotation
// texts, while __doc__ stays the plain docstring.
PyObject *get_signature(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    const Function &def = *f->def;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter_cls || !signature_cls) return nullptr;
    Ref positional = Ref::steal(PyObject_GetAttrString(parameter_cls.get(), "POSITIONAL_OR_KEYWORD"));
    if (!positional) return nullptr;
    Ref params = Ref::steal(PyList_New(0));
    if (!params) return nullptr;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        PyObject *dflt = i >= f->nrequired ? PyTuple_GET_ITEM(f->defaults, i - f->nrequired) : nullptr;
        const char *annotation = def.params[i].annotation;
        Ref p = make_parameter(parameter_cls.get(), positional.get(), f->param_names[i], dflt, annotation);
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    if (def.var_keywords) {
        Ref var_keyword = Ref::steal(PyObject_GetAttrString(parameter_cls.get(), "VAR_KEYWORD"));
        Ref name = Ref::steal(PyUnicode_FromString("kwargs"));
        if (!var_keyword || !name) return nullptr;
        Ref p = make_parameter(parameter_cls.get(), var_keyword.get(), name.get(), nullptr, nullptr);
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!args || !kwargs) return nullptr;
    if (def.return_annotation != nullptr) {
        Ref text = Ref::steal(PyUnicode_FromString(def.return_annotation));
        if (!text || PyDict_SetItemString(kwargs.get(), "return_annotation", text.get()) < 0) return nullptr;
    }
    return PyObject_Call(signature_cls.get(), args.get(), kwargs.get());
}

// Pickled by reference, like Python functions: module and qualified name.
PyObject *function_reduce(PyObject *self, PyObject *) { return Py_NewRef(as_function(self)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
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

Ref make_default(const Default &d) {
    switch (d.tag) {
        case Default::Tag::required: break;
        case Default::Tag::none: return Ref::borrow(Py_None);
        case Default::Tag::boolean: return Ref::borrow(d.integer ? Py_True : Py_False);
        case Default::Tag::integer: return Ref::steal(PyLong_FromLongLong(d.integer));
        case Default::Tag::real: return Ref::steal(PyFloat_FromDouble(d.real));
        case Default::Tag::text: return Ref::steal(PyUnicode_FromString(d.text));
        case Default::Tag::ints: {
            Ref tuple = Ref::steal(PyTuple_New(d.count));
            if (!tuple) return {};
            for (int i = 0; i < d.count; ++i) {
                PyObject *item = PyLong_FromLong(d.items[i]);
                if (item == nullptr) return {};
                PyTuple_SET_ITEM(tuple.get(), i, item);
            }
            return tuple;
        }
    }
    PyErr_SetString(PyExc_SystemError, "a required parameter has no default value");
    return {};
}

bool fill_metadata(FunctionObject *f, const Function &def) {
    Ref defaults = Ref::steal(PyTuple_New(f->nparams - f->nrequired));
    f->annotations = PyDict_New();
    if (!defaults || f->annotations == nullptr) return false;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        const Param &p = def.params[i];
        f->param_names[i] = PyUnicode_InternFromString(p.name);
        if (f->param_names[i] == nullptr) return false;
        f->converts |= p.conv == Conv::integer || p.conv == Conv::real || p.conv == Conv::truth;
        f->checks_types |= p.conv == Conv::str || p.conv == Conv::bytes || p.conv == Conv::list;
        f->none_allowed[i] = p.value.tag == Default::Tag::none ||
                             (p.annotation != nullptr && std::strncmp(p.annotation, "Optional[", 9) == 0);
        if (i >= f->nrequired) {
            Ref value = make_default(p.value);
            if (!value) return false;
            PyTuple_SET_ITEM(defaults.get(), i - f->nrequired, value.release());
        }
        if (p.annotation != nullptr) {
            Ref text = Ref::steal(PyUnicode_FromString(p.annotation));
            if (!text || PyDict_SetItem(f->annotations, f->param_names[i], text.get()) < 0) return false;
        }
    }
    if (def.return_annotation != nullptr) {
        Ref text = Ref::steal(PyUnicode_FromString(def.return_annotation));
        if (!text || PyDict_SetItemString(f->annotations, "return", text.get()) < 0) return false;
    }
    f->defaults = f->nrequired < f->nparams ? defaults.release() : Py_NewRef(Py_None);
    f->doc = def.doc != nullptr ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    return f->doc != nullptr;
}

// The traceback names of the functions made so far, for add_entry(). A module has a few
// dozen functions at most.
struct Traced {
    const Function *def = nullptr;
    Retained name;
};
Traced traced[64];

void remember_trace_name(const Function &def, PyObject *name) {
    for (Traced &t : traced) {
        if (t.def != nullptr && t.def != &def) continue;
        t.def = &def;
        t.name.keep(name);
        return;
    }
}

}  // namespace

void add_entry(const Function &callee) noexcept {
    for (const Traced &t : traced) {
        if (t.def != &callee) continue;
        if (module_file() != nullptr) add_traceback(t.name.get(), module_file(), callee.body.line);
        return;
    }
    add_traceback(callee.name, callee.body.line);
}

namespace detail {
void report_cpp_exception() noexcept {
    PyErr_SetString(PyExc_SystemError, "a C++ exception escaped a carvola function");
}
}  // namespace detail

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
    while (f->nrequired > 0 && def.params[f->nrequired - 1].value.tag != Default::Tag::required) --f->nrequired;

    std::string qualname = class_name != nullptr ? std::string(class_name) + "." + def.name : std::string(def.name);
    std::string module = module_name();
    std::string file = module;
    for (char &c : file)
        if (c == '.') c = '/';
    f->name = PyUnicode_FromString(def.name);
    f->qualname = PyUnicode_FromString(qualname.c_str());
    f->module = PyUnicode_FromString(module.c_str());
    f->trace_name = PyUnicode_FromString((module + "." + qualname).c_str());
    f->trace_file = PyUnicode_FromString(file.c_str());
    if (!f->name || !f->qualname || !f->module || !f->trace_name || !f->trace_file) return {};
    if (!fill_metadata(f, def)) return {};
    remember_trace_name(def, f->trace_name);
    PyObject_GC_Track(self.get());
    return self;
}

}  // namespace carvola
