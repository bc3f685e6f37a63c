// Interned strings, declared where they are used and interned once when the module is
// executed: attribute and global names (Name), which lookups hash and compare by
// pointer, and the texts a module writes (Text). They are distinct types so that a
// message cannot be passed where a name is looked up, nor the other way round.
#pragma once

#include "ref.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace carvola {

// Dict version tags: a dict gets a fresh tag when it is created and at every change, and
// no two dicts share one, so an equal tag proves the same dict in the same state.
// The field is private; 3.11 has no public way to tell that a dict is unchanged.
inline uint64_t dict_version(PyObject *dict) noexcept {
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}

class Interned {
public:
    explicit Interned(const char *text) noexcept;
    Interned(const Interned &) = delete;
    Interned &operator=(const Interned &) = delete;

    PyObject *get() const noexcept { return obj_; }
    operator PyObject *() const noexcept { return obj_; }
    const char *text() const noexcept { return text_; }

    // Interns every string of this extension module; false with an exception set on failure.
    static bool intern_all() noexcept;

private:
    const char *text_;
    PyObject *obj_ = nullptr;  // interned strings live as long as the interpreter
    Interned *next_;
};

// An attribute or global name.
class Name : public Interned {
public:
    using Interned::Interned;

private:
    friend Ref global(const Name &name) noexcept;
    // The last lookup of this name as a module global: valid while the module dict and the
    // builtins keep the versions it was made at.
    mutable uint64_t globals_version_ = 0, builtins_version_ = 0;
    mutable PyObject *global_ = nullptr;  // borrowed from one of the two dicts
};

// A text constant: a message, a format or a fixed part of a value.
class Text : public Interned {
public:
    using Interned::Interned;
};

// A string literal as a template argument, so that each distinct literal names one object.
template <std::size_t N>
struct Literal {
    constexpr Literal(const char (&s)[N]) noexcept { std::copy_n(s, N, text); }
    char text[N];
};

template <Literal L>
inline Name name_object{L.text};
template <Literal L>
inline Text text_object{L.text};

// "proportion"_n is the module's one Name for that text, "RGBA"_t its one Text: a name is
// written where it is used, and interned with the others when the module is executed.
template <Literal L>
const Name &operator""_n() noexcept {
    return name_object<L>;
}
template <Literal L>
const Text &operator""_t() noexcept {
    return text_object<L>;
}

}  // namespace carvola
