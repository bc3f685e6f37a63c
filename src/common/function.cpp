// The native function type: one vectorcall entry (binding in binding.cpp) and the
// metadata a Python function carries: names, defaults, annotations, signature.
#include "errors.hpp"
#include "function_object.hpp"
#include "module.hpp"

#include <cstring>
#include <structmember.h>
#include <string>

namespace carvola {

namespace {

using detail::FunctionObject;

FunctionObject *as_function(PyObject *obj) { return reinterpret_cast<FunctionObject *>(obj); }

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FunctionObject *f = as_function(callable);
    PyObject *result = detail::bind_and_call(f, args, PyVectorcall_NARGS(nargsf), kwnames);
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
