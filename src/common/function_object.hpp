// The object behind every native function, shared by the function type (function.cpp)
// and argument binding (binding.cpp). Internal to the frame.
#pragma once

#include "function.hpp"

namespace carvola::detail {

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
};

// Binds the vectorcall arguments to the parameters, converts them as the contract says,
// calls the body and checks its result: a new reference, or null with an exception set.
PyObject *bind_and_call(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace carvola::detail
