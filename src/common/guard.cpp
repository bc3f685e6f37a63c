// Guards of fast paths: each links itself in at load time and remembers its object once
// the module body has bound every global.
#include "guard.hpp"

namespace carvola {

namespace {
constinit Guard *guards = nullptr;
Retained builtins;  // the builtins module's dict, where globals fall back to
}  // namespace

Guard::Guard(const Name &global) noexcept : global_(global), next_(guards) { guards = this; }

Guard::Guard(const Name &global, const Name &attribute) noexcept : Guard(global) { attribute_ = &attribute; }

int Guard::holds() noexcept {
    // While the dicts keep the versions of the last success, the lookups find the same.
    const Versions now{dict_version(module_globals()), dict_version(builtins.get()),
                       module_dict_ != nullptr ? dict_version(module_dict_) : 0};
    if (now == held_) return 1;
    Ref current = global(global_);
    if (!current) return -1;
    if (current.get() != global_value_.get()) return 0;
    if (attribute_ != nullptr) {
        current = module_attribute(current.get(), *attribute_, cache_);
        if (!current) return -1;
        if (current.get() != original_.get()) return 0;
    }
    // No dict version shows a change of another object's attribute.
    if (attribute_ == nullptr || module_dict_ != nullptr) held_ = now;
    return 1;
}

bool Guard::remember_all() noexcept {
    Ref module = Ref::steal(PyImport_ImportModule("builtins"));
    if (!module) return false;
    builtins.keep(PyModule_GetDict(module.get()));
    for (Guard *g = guards; g != nullptr; g = g->next_) {
        Ref value = global(g->global_);
        if (!value) return false;
        g->global_value_.keep(value.get());
        g->held_ = {};
        const bool plain_module = PyModule_CheckExact(value.get()) && g->attribute_ != nullptr;
        g->module_dict_ = plain_module ? PyModule_GetDict(value.get()) : nullptr;
        if (g->attribute_ != nullptr && PyType_Check(value.get()))
            g->unbound_.keep(class_lookup(value.get(), *g->attribute_));
        if (g->attribute_ != nullptr) value = Ref::steal(PyObject_GetAttr(value.get(), *g->attribute_));
        if (!value) return false;
        g->original_.keep(value.get());
    }
    return true;
}

}  // namespace carvola
