// Registry of interned strings: each links itself in at load time and is interned at
// module execution, before any code that could use it runs.
#include "names.hpp"

namespace carvola {

namespace {
constinit Interned *registered = nullptr;
}

Interned::Interned(const char *text) noexcept : text_(text), next_(registered) { registered = this; }

bool Interned::intern_all() noexcept {
    for (Interned *n = registered; n != nullptr; n = n->next_) {
        if (n->obj_ != nullptr) continue;
        n->obj_ = PyUnicode_InternFromString(n->text_);
        if (n->obj_ == nullptr) return false;
    }
    return true;
}

}  // namespace carvola
