// Guards of fast paths: each links itself in at load time and remembers its object once
// the module body has bound every global.
#include "guard.hpp"

namespace carvola {

namespace {
constinit Guard *guards = nullptr;
}  // namespace

Guard::Guard(const Name &global) noexcept : GlobalAttribute(global), next_(guards) { guards = this; }

Guard::Guard(const Name &global, const Name &attribute) noexcept : Guard(global) { attribute_ = &attribute; }

// The lookups remember what they found while the dicts they read are unchanged.
int Guard::holds() noexcept {
    Ref current = global(owner_);
    if (!current) return -1;
    if (current.get() != global_value_.get()) return 0;
    current = of(current.get());
    if (!current) return -1;
    return current.get() == original_.get();
}

bool Guard::remember_all() noexcept {
    for (Guard *g = guards; g != nullptr; g = g->next_) {
        Ref value = global(g->owner_);
        if (!value) return false;
        g->global_value_.keep(value.get());
        if (g->attribute_ != nullptr && PyType_Check(value.get()))
            g->unbound_.keep(class_lookup(value.get(), *g->attribute_));
        value = g->of(value.get());
        if (!value) return false;
        g->original_.keep(value.get());
    }
    return true;
}

}  // namespace carvola
