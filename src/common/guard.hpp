// The object this module imported, and whether the current global or attribute is still
// it. A fast path stands for Python code calling some imported object; it may run only
// while nobody has replaced that object, and its guard says so in one line:
//
//     Guard re_match{n_re, n_match};      // re.match, through the module global `re`
//     ...
//     const int native = re_match.holds();  // 1, 0, or -1 with an error set
#pragma once

#include "attributes.hpp"
#include "module.hpp"

namespace carvola {

class Guard : GlobalAttribute {
public:
    using GlobalAttribute::get;  // the current object, looked up at the moment of use

    // The module global `global`.
    explicit Guard(const Name &global) noexcept;
    // global.attribute; it holds while both the global and its attribute are unchanged.
    Guard(const Name &global, const Name &attribute) noexcept;
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

    // 1 while the current object is the one imported, 0 when it was replaced, -1 with an
    // error set when the lookup fails (a deleted global, say).
    int holds() noexcept;
    // Whether `obj`, found some other way (through an instance, say), is the one imported.
    bool is(PyObject *obj) const noexcept { return obj == original_.get(); }
    PyObject *original() const noexcept { return original_.get(); }  // borrowed
    // For an attribute of a class: whether class `cls` (a subclass, say) finds the one
    // imported in its MRO, unbound (a classmethod gives a new bound method at each getattr).
    bool found_in(PyObject *cls) const noexcept {
        return unbound_.get() != nullptr && class_lookup(cls, *attribute_) == unbound_.get();
    }

    // Remembers what every guard of this module guards; the frame calls it once the
    // module body has run. false with an exception set.
    static bool remember_all() noexcept;

private:
    // The versions of the dicts the lookups read: module globals, builtins and the guarded
    // module's own dict; all zero when an attribute is read from some other object.
    struct Versions {
        uint64_t globals = 0, builtins = 0, module = 0;
        bool operator==(const Versions &) const = default;
    };
    Versions versions() const noexcept;

    Versions held_;          // at the last success, while the dicts keep them nothing changed
    Retained global_value_;  // the global as imported
    Retained original_;      // the guarded object: the attribute, or the global itself
    Retained unbound_;       // the attribute as its class's MRO holds it
    Guard *next_;
};

}  // namespace carvola
