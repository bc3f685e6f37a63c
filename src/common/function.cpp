// The native function type: one vectorcall entry (binding in binding.cpp) and the
// metadata a Python function carries: names, defaults, annotations, signature.
#include "attributes.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "function_object.hpp"
#include "module.hpp"

#include <cstring>
#include <string>
#include <unordered_map>
#include <structmember.h>

namespace carvola {

namespace {

using detail::FunctionObject;

FunctionObject *as_function(PyObject *obj) { return reinterpret_cast<FunctionObject *>(obj); }

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FunctionObject *f = as_function(callable);
    PyObject *result = detail::bind_and_call(f, args, PyVectorcall_NARGS(nargsf), kwnames);
    if (result == nullptr) add_traceback(f->trace_name, f->def->body.line);
    return result;
}

// ----- the type -----

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

Ref make_default(const Default &d) {
    switch (d.tag) {
        case Default::Tag::required: break;
        case Default::Tag::none: return Ref::borrow(Py_None);
        case Default::Tag::boolean: return Ref::borrow(d.integer ? Py_True : Py_False);
        case Default::Tag::integer: return Ref::steal(PyLong_FromLongLong(d.integer));
        case Default::Tag::real: return Ref::steal(PyFloat_FromDouble(d.real));
        case Default::Tag::text: return Ref::steal(PyUnicode_FromString(d.text));
        case Default::Tag::ints: {
            // The format takes the first `count` items; C ignores the arguments left over.
            static const char *const formats[] = {"()", "(i)", "(ii)", "(iii)", "(iiii)"};
            return Ref::steal(Py_BuildValue(formats[d.count], d.items[0], d.items[1], d.items[2], d.items[3]));
        }
    }
    PyErr_SetString(PyExc_SystemError, "a required parameter has no default value");
    return {};
}

bool fill_metadata(FunctionObject *f, const Function &def) {
    Ref defaults = Ref::steal(PyTuple_New(f->nparams - f->nrequired));
    f->annotations = PyDict_New();
    if (!defaults || f->annotations == nullptr) return false;
    // __annotations__[key] = text, for a parameter or the result that has one.
    auto annotate = [&](PyObject *key, const char *annotation) {
        Ref text = annotation != nullptr ? Ref::steal(PyUnicode_FromString(annotation)) : Ref{};
        return annotation == nullptr || (text && PyDict_SetItem(f->annotations, key, text.get()) == 0);
    };
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
        if (!annotate(f->param_names[i], p.annotation)) return false;
    }
    if (!annotate("return"_n, def.return_annotation)) return false;
    f->defaults = f->nrequired < f->nparams ? defaults.release() : Py_NewRef(Py_None);
    f->doc = def.doc != nullptr ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    return f->doc != nullptr;
}

// The traceback names of the functions made so far, for add_entry().
std::unordered_map<const Function *, Retained> trace_names;

}  // namespace

void add_entry(const Function &callee) noexcept {
    const auto made = trace_names.find(&callee);
    if (made != trace_names.end()) return add_traceback(made->second.get(), callee.body.line);
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
    f->name = PyUnicode_FromString(def.name);
    f->qualname = PyUnicode_FromString(qualname.c_str());
    f->module = PyUnicode_FromString(module.c_str());
    f->trace_name = PyUnicode_FromString((module + "." + qualname).c_str());
    if (!f->name || !f->qualname || !f->module || !f->trace_name) return {};
    if (!fill_metadata(f, def)) return {};
    try {
        trace_names[&def].keep(f->trace_name);
    } catch (const std::bad_alloc &) {
        return Ref::steal(PyErr_NoMemory());
    }
    PyObject_GC_Track(self.get());
    return self;
}

}  // namespace carvola
