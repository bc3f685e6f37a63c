// Guards of fast paths: each links itself in at load time and remembers its object once
// the module body has bound every global.
#include "guard.hpp"

namespace carvola {

namespace {
constinit Guard *guards = nullptr;
}

Guard::Guard(const Name &global) noexcept : global_(global), next_(guards) { guards = this; }

Guard::Guard(const Name &global, const Name &attribute) noexcept
    : global_(global), attribute_(&attribute), next_(guards) {
    guards = this;
}

int Guard::holds() noexcept {
    Ref current = global(global_);
    if (!current) return -1;
    if (current.get() != global_value_.get()) return 0;
    if (attribute_ == nullptr) return 1;
    Ref value = module_attribute(current.get(), *attribute_, cache_);
    if (!value) return -1;
    return value.get() == original_.get() ? 1 : 0;
}

bool Guard::remember_all() noexcept {
    for (Guard *g = guards; g != nullptr; g = g->next_) {
        Ref value = global(g->global_);
        if (!value) return false;
        g->global_value_.keep(value.get());
        if (g->attribute_ != nullptr) value = Ref::steal(PyObject_GetAttr(value.get(), *g->attribute_));
        if (!value) return false;
        g->original_.keep(value.get());
    }
    return true;
}

}  // namespace carvola
