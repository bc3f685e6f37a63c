// Registry of interned names: each Name links itself in at load time and is interned at
// module execution, before any code that could use it runs.
#include "names.hpp"

namespace carvola {

namespace {
constinit Name *registered = nullptr;
}

Name::Name(const char *text) noexcept : text_(text), next_(registered) { registered = this; }

bool Name::intern_all() noexcept {
    for (Name *n = registered; n != nullptr; n = n->next_) {
        if (n->obj_ != nullptr) continue;
        n->obj_ = PyUnicode_InternFromString(n->text_);
        if (n->obj_ == nullptr) return false;
    }
    return true;
}

}  // namespace carvola
