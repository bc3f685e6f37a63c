// Interned attribute and global names, declared where they are used and interned once
// when the module is executed, so lookups hash and compare by pointer.
#pragma once

#include "ref.hpp"

namespace carvola {

// Dict version tags: a dict gets a fresh tag when it is created and at every change, and
// no two dicts share one, so an equal tag proves the same dict in the same state.
inline uint64_t dict_version(PyObject *dict) noexcept {
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}

class Name {
public:
    explicit Name(const char *text) noexcept;
    Name(const Name &) = delete;
    Name &operator=(const Name &) = delete;

    PyObject *get() const noexcept { return obj_; }
    operator PyObject *() const noexcept { return obj_; }
    const char *text() const noexcept { return text_; }

    // Interns every Name of this extension module; false with an exception set on failure.
    static bool intern_all() noexcept;

    // The last lookup of this name as a module global (see global()): valid while both
    // dicts keep the versions it was made at.
    struct GlobalCache {
        uint64_t globals_version = 0;
        uint64_t builtins_version = 0;
        PyObject *value = nullptr;  // borrowed from one of the two dicts
    };
    GlobalCache &global_cache() const noexcept { return cache_; }

private:
    const char *text_;
    PyObject *obj_ = nullptr;  // interned strings live as long as the interpreter
    Name *next_;
    mutable GlobalCache cache_;
};

}  // namespace carvola
