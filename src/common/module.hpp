// The module frame: multi-phase initialisation of one extension module, the statements a
// module body runs while it is executed (imports, classes, functions), and global lookup.
#pragma once

#include "calls.hpp"
#include "function.hpp"

#include <cstddef>

namespace carvola {

// An entry of a class namespace: a function (wrapped as its Kind says) or a constant.
struct Member {
    const Function *function = nullptr;
    const char *name = nullptr;  // of a constant
    Ref (*make)() = nullptr;     // builds a constant's value at module execution
};

// def <f>: checked against its body at compile time.
consteval Member def(const Function &f) { return {.function = &checked(f)}; }
consteval Member constant(const char *name, Ref (*make)()) { return {.name = name, .make = make}; }

struct Class {
    const char *name;
    const char *doc;  // none when null
    const Member *members;
    std::size_t count;
    bool explicit_base = false;  // `class C(object)`, the same class as `class C` (Module::add)
};

template <std::size_t N>
consteval Class make_class(const char *name, const char *doc, const Member (&members)[N],
                           bool explicit_base = false) {
    return {name, doc, members, N, explicit_base};
}

class Module;
using ModuleBody = bool (*)(Module &) noexcept;

// Everything the frame needs to know about one extension module.
struct ModuleInfo {
    const char *full_name;  // "carvola.brennic"
    ModuleBody body;        // the module's statements, in order
};

// What PyInit_<name> returns: the multi-phase definition of the module `info` describes.
PyObject *module_init(const ModuleInfo &info) noexcept;

// What a module body works with while the module is executed. Every statement binds its
// result as a module global and returns false with an exception set on failure.
class Module {
    using Where = CallSite;

public:
    // import <name>
    bool import(const char *name, Where where = Where::current()) noexcept;
    // from <module> import <L>[, <L>...]
    template <Literal... L>
    bool import_from(const char *module, Where where = Where::current()) noexcept;
    // def <function>, at module level
    bool add(const Member &function, Where where = Where::current()) noexcept;
    // class <cls>
    bool add(const Class &cls, Where where = Where::current()) noexcept;
    // <name> = <value>
    bool set(const char *name, Ref value, Where where = Where::current()) noexcept;

    // The line of the statement being executed, for the traceback of a failing import.
    int line() const noexcept { return line_; }

private:
    bool at(Where where) noexcept {
        line_ = static_cast<int>(where.line());
        return true;
    }
    bool bind(const char *name, Ref value) noexcept;

    int line_ = 1;
};

// Module globals of the executed module, looked up at the moment of use (then builtins);
// NameError "name '...' is not defined" when neither has it.
Ref global(PyObject *name) noexcept;
// The same lookup, remembered until the module dict or the builtins change.
Ref global(const Name &name) noexcept;
// The module's full name as given to the frame.
const char *module_name() noexcept;

// owner.attribute, through the module global `owner` as it is at each use; the global
// `owner` itself when no attribute is named. The attribute of a plain module is remembered
// until the module's dict changes; any other owner goes through getattr every time.
class GlobalAttribute {
public:
    GlobalAttribute(const Name &owner, const Name &attribute) noexcept : owner_(owner), attribute_(&attribute) {}
    explicit GlobalAttribute(const Name &owner) noexcept : owner_(owner) {}

    Ref get() noexcept {
        Ref owner = global(owner_);
        return owner ? of(owner.get()) : Ref{};
    }
    // The attribute of `owner`, the global as it was found.
    Ref of(PyObject *owner) noexcept;

protected:
    const Name &owner_;
    const Name *attribute_ = nullptr;

private:
    uint64_t version_ = 0;       // of the module dict `value_` was found in
    PyObject *value_ = nullptr;  // borrowed from that dict
};

// The module a `from <module> import ...` statement imports (level 1: relative to the
// package), with `fromlist` the imported names.
Ref import_module(const char *module, PyObject *fromlist, int level) noexcept;
// One name of a `from ... import` statement, taken from the imported module.
Ref import_name(PyObject *module, PyObject *name) noexcept;

template <Literal... L>
bool Module::import_from(const char *module, Where where) noexcept {
    at(where);
    PyObject *fromlist = name_tuple<L...>.get();
    Ref source = fromlist ? import_module(module, fromlist, 0) : Ref();
    return source && (bind(L.text, import_name(source.get(), name_object<L>)) && ...);
}

}  // namespace carvola
