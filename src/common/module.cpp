// Multi-phase initialisation of one extension module (one interpreter per process, one
// executed module object), the statements of a module body, module global lookup, and
// the guards of fast paths.
#include "module.hpp"

#include "errors.hpp"
#include "guard.hpp"

#include <frameobject.h>

#include <cstring>
#include <string>

// The Python minor version the module is built for; a test-only build overrides it to
// check the mismatch warning.
#ifndef CARVOLA_EXPECTED_PY_MINOR
#define CARVOLA_EXPECTED_PY_MINOR PY_MINOR_VERSION
#endif

namespace carvola {

// Interned strings link themselves in at load time and are interned when the module is
// executed, before any code that could use them runs.
static constinit Interned *registered = nullptr;

Interned::Interned(const char *text) noexcept : text_(text), next_(registered) { registered = this; }

bool Interned::intern_all() noexcept {
    for (Interned *n = registered; n != nullptr; n = n->next_) {
        if (n->obj_ != nullptr) continue;
        n->obj_ = PyUnicode_InternFromString(n->text_);
        if (n->obj_ == nullptr) return false;
    }
    return true;
}

namespace {

// The one record of this extension module. Every extension module links its own copy of
// the frame, so each has its own record.
struct Record {
    const ModuleInfo *info = nullptr;
    PyModuleDef_Slot slots[3] = {};
    PyModuleDef def = {PyModuleDef_HEAD_INIT};
    int64_t interpreter = -1;
    Retained module;              // set while executing and after success
    PyObject *globals = nullptr;  // the module's dict, borrowed from `module`
    Retained builtins;            // the builtins module's dict
    Retained file;                // of traceback entries: "carvola/brennic" for "carvola.brennic"
};

Record record;

const char *last_component(const char *full_name) {
    const char *dot = std::strrchr(full_name, '.');
    return dot != nullptr ? dot + 1 : full_name;
}

PyObject *create_module(PyObject *module_spec, PyModuleDef *) {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (record.interpreter == -1) {
        record.interpreter = current;
    } else if (record.interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - "
                        "this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (record.module.get() != nullptr) return Py_NewRef(record.module.get());

    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    // __file__, __loader__, __package__ and __path__ are filled in by the import machinery
    // from what its finder found, after creation and before execution.
    return PyModule_NewObject(name.get());
}

// A runtime other than the one the module was built for is warned about, not refused.
bool check_version(const char *full_name) {
    const int major = (Py_Version >> 24) & 0xff, minor = (Py_Version >> 16) & 0xff;
    if (major == 3 && minor == CARVOLA_EXPECTED_PY_MINOR) return true;
    return PyErr_WarnFormat(nullptr, 1, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            3, CARVOLA_EXPECTED_PY_MINOR, full_name, "does not match", major, minor) == 0;
}

bool register_in_sys_modules(PyObject *module, const char *full_name) {
    PyObject *modules = PyImport_GetModuleDict();
    return PyDict_GetItemString(modules, full_name) != nullptr || PyDict_SetItemString(modules, full_name, module) == 0;
}

bool run_body(Module &m, PyObject *module) {
    const char *full_name = record.info->full_name;
    try {
        return check_version(full_name) && Interned::intern_all() && register_in_sys_modules(module, full_name) &&
               record.info->body(m) && Guard::remember_all() && m.set("__test__", Ref::steal(PyDict_New()));
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (...) {
        detail::report_cpp_exception();
    }
    return false;
}

int exec_module(PyObject *module) {
    const char *full_name = record.info->full_name;
    if (record.module.get() != nullptr) {
        if (record.module.get() == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     last_component(full_name));
        return -1;
    }
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    Ref name = Ref::steal(PyUnicode_FromString(full_name));
    Ref file = name ? Ref::steal(PyObject_CallMethod(name.get(), "replace", "ss", ".", "/")) : Ref{};
    if (!file) return -1;
    record.module.keep(module);
    record.globals = PyModule_GetDict(module);
    record.builtins.keep(PyModule_GetDict(builtins.get()));
    record.file.keep(file.get());

    Module m;
    if (run_body(m, module)) return 0;

    const std::string init_name = std::string("init ") + full_name;
    if (PyErr_Occurred())
        add_traceback(init_name.c_str(), m.line());
    else
        PyErr_SetString(PyExc_ImportError, init_name.c_str());
    // A failed execution leaves nothing behind, so a later import starts afresh.
    record.module.clear();
    record.globals = nullptr;
    return -1;
}

}  // namespace

PyObject *module_init(const ModuleInfo &info) noexcept {
    if (record.info == nullptr) {
        record.info = &info;
        record.slots[0] = {Py_mod_create, reinterpret_cast<void *>(create_module)};
        record.slots[1] = {Py_mod_exec, reinterpret_cast<void *>(exec_module)};
        record.slots[2] = {0, nullptr};
        record.def.m_name = info.full_name;
        record.def.m_slots = record.slots;
    }
    return PyModuleDef_Init(&record.def);
}

const char *module_name() noexcept { return record.info->full_name; }

// A traceback entry is the module's: its file name and its dict as the frame's globals.
void add_traceback(PyObject *funcname, int line) noexcept {
    // The entry is built while the exception waits aside, then attached to it.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref frame;
    const char *func = PyUnicode_AsUTF8(funcname);
    const char *file = record.file.get() != nullptr ? PyUnicode_AsUTF8(record.file.get()) : nullptr;
    if (func != nullptr && file != nullptr && record.globals != nullptr) {
        Ref code = Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(file, func, line)));
        if (code) {
            frame = Ref::steal(reinterpret_cast<PyObject *>(PyFrame_New(
                PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()), record.globals, nullptr)));
        }
    }
    PyErr_Restore(type, value, tb);  // drops any error of the entry's own making
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

void add_traceback(const char *funcname, int line) noexcept {
    Ref name = Ref::steal(PyUnicode_FromString(funcname));
    if (name) add_traceback(name.get(), line);
}

Ref global(PyObject *name) noexcept {
    if (PyObject *value = PyDict_GetItemWithError(record.globals, name)) return Ref::borrow(value);
    if (PyErr_Occurred()) return {};
    if (PyObject *value = PyDict_GetItemWithError(record.builtins.get(), name)) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref global(const Name &name) noexcept {
    const uint64_t globals = dict_version(record.globals), builtins = dict_version(record.builtins.get());
    if (name.global_ != nullptr && name.globals_version_ == globals && name.builtins_version_ == builtins)
        return Ref::borrow(name.global_);
    Ref value = global(name.get());
    name.global_ = value.get();  // null when the lookup failed
    name.globals_version_ = globals;
    name.builtins_version_ = builtins;
    return value;
}

Ref GlobalAttribute::of(PyObject *owner) noexcept {
    if (attribute_ == nullptr) return Ref::borrow(owner);
    // A plain module keeps its attributes in its dict and its type's only data descriptors
    // are dunder names (__dict__, __class__), so for other names a dict entry is exactly
    // what getattr() would find.
    if (PyModule_CheckExact(owner)) {
        PyObject *dict = PyModule_GetDict(owner);
        const uint64_t version = dict_version(dict);
        if (value_ != nullptr && version_ == version) return Ref::borrow(value_);
        if ((value_ = PyDict_GetItemWithError(dict, *attribute_)) != nullptr) {
            version_ = version;
            return Ref::borrow(value_);
        }
        if (PyErr_Occurred()) return {};
    }
    return Ref::steal(PyObject_GetAttr(owner, *attribute_));
}

// Guards of fast paths link themselves in at load time and remember their objects once
// the module body has bound every global.
static constinit Guard *guards = nullptr;

Guard::Guard(const Name &global) noexcept : GlobalAttribute(global), next_(guards) { guards = this; }

Guard::Guard(const Name &global, const Name &attribute) noexcept : Guard(global) { attribute_ = &attribute; }

Guard::Versions Guard::versions() const noexcept {
    PyObject *owner = global_value_.get();
    if (attribute_ != nullptr && !PyModule_CheckExact(owner)) return {};
    return {dict_version(record.globals), dict_version(record.builtins.get()),
            attribute_ != nullptr ? dict_version(PyModule_GetDict(owner)) : 0};
}

// A fast path asks on every call: while the dicts keep the versions of the last success,
// the lookups would find the same objects, and the answer is known without them.
int Guard::holds() noexcept {
    const Versions now = versions();
    if (now.globals != 0 && now == held_) return 1;
    Ref current = global(owner_);
    if (!current) return -1;
    if (current.get() != global_value_.get()) return 0;
    current = of(current.get());
    if (!current) return -1;
    if (current.get() != original_.get()) return 0;
    held_ = now;
    return 1;
}

bool Guard::remember_all() noexcept {
    for (Guard *g = guards; g != nullptr; g = g->next_) {
        Ref value = global(g->owner_);
        if (!value) return false;
        g->global_value_.keep(value.get());
        g->held_ = {};
        if (g->attribute_ != nullptr && PyType_Check(value.get()))
            g->unbound_.keep(class_lookup(value.get(), *g->attribute_));
        value = g->of(value.get());
        if (!value) return false;
        g->original_.keep(value.get());
    }
    return true;
}

Ref import_name(PyObject *module, PyObject *name) noexcept {
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        // The name may be a submodule that is loaded but not yet bound on its package.
        PyErr_Clear();
        if (const char *package = PyModule_GetName(module)) {
            Ref full = Ref::steal(PyUnicode_FromFormat("%s.%U", package, name));
            if (full) value = Ref::steal(PyImport_GetModule(full.get()));
        }
    }
    if (!value) PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return value;
}

Ref import_module(const char *module, PyObject *fromlist, int level) noexcept {
    Ref name = Ref::steal(PyUnicode_FromString(module));
    if (!name) return {};
    return Ref::steal(PyImport_ImportModuleLevelObject(name.get(), record.globals, nullptr, fromlist, level));
}

bool Module::bind(const char *name, Ref value) noexcept {
    return value && PyDict_SetItemString(record.globals, name, value.get()) == 0;
}

bool Module::set(const char *name, Ref value, Where where) noexcept {
    return at(where) && bind(name, std::move(value));
}

bool Module::import(const char *name, Where where) noexcept {
    at(where);
    Ref module = import_module(name, nullptr, 0);
    const char *dot = std::strchr(name, '.');
    const std::string bound = dot != nullptr ? std::string(name, dot) : std::string(name);
    return bind(bound.c_str(), std::move(module));
}

static Ref wrap(const Member &member, const char *class_name) {
    Ref f = make_function(*member.function, class_name);
    if (!f) return {};
    switch (member.function->kind) {
        case Kind::staticmethod: return Ref::steal(PyStaticMethod_New(f.get()));
        case Kind::classmethod: return Ref::steal(PyClassMethod_New(f.get()));
        default: return f;
    }
}

bool Module::add(const Member &function, Where where) noexcept {
    at(where);
    return bind(function.function->name, wrap(function, nullptr));
}

// class <name>: ...; with no base or `object` as the only one, the metaclass is type and
// its __prepare__ gives a plain dict, so type(name, (), namespace) makes the same class.
bool Module::add(const Class &cls, Where where) noexcept {
    at(where);
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return false;
    auto put = [&](const char *key, Ref value) {
        return value && PyDict_SetItemString(ns.get(), key, value.get()) == 0;
    };
    if (!put("__module__", Ref::steal(PyUnicode_FromString(record.info->full_name))) ||
        !put("__qualname__", Ref::steal(PyUnicode_FromString(cls.name))))
        return false;
    if (cls.doc != nullptr && !put("__doc__", Ref::steal(PyUnicode_FromString(cls.doc)))) return false;
    for (std::size_t i = 0; i < cls.count; ++i) {
        const Member &member = cls.members[i];
        const bool ok = member.function != nullptr ? put(member.function->name, wrap(member, cls.name))
                                                   : put(member.name, member.make());
        if (!ok) return false;
    }
    PyObject *type = reinterpret_cast<PyObject *>(&PyType_Type);
    return bind(cls.name, Ref::steal(PyObject_CallFunction(type, "s()O", cls.name, ns.get())));
}

}  // namespace carvola
