// Calls as Python makes them: callable(args...) and obj.name(args...), callable with
// keyword arguments, and the tuples of interned names that keyword calls take.
#pragma once

#include "names.hpp"

#include <concepts>
#include <cstddef>

namespace carvola {

// A tuple of interned names, made on first use and kept for the process: the keyword
// names of a call, or the names a `from ... import` statement imports.
template <std::size_t N>
class NameTuple {
public:
    template <std::same_as<Name>... Names>
    constexpr NameTuple(const Names &...names) noexcept : names_{&names...} {}
    NameTuple(const NameTuple &) = delete;
    NameTuple &operator=(const NameTuple &) = delete;

    // Borrowed; null with an exception set when the tuple cannot be made.
    PyObject *get() noexcept {
        if (tuple_.get() != nullptr) return tuple_.get();
        Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(N)));
        if (!tuple) return nullptr;
        for (std::size_t i = 0; i < N; ++i)
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names_[i]->get()));
        tuple_.keep(tuple.get());
        return tuple_.get();
    }

private:
    const Name *names_[N];
    Retained tuple_;
};

template <std::same_as<Name>... Names>
NameTuple(const Names &...) -> NameTuple<sizeof...(Names)>;

// The tuple of the names "a", "b", ...: call_kw(f, name_tuple<"flags">, pattern, flags)
// is f(pattern, flags=flags).
template <Literal... L>
inline NameTuple<sizeof...(L)> name_tuple{name_object<L>...};

// The calls below hand the callee a writable slot before the arguments
// (PY_VECTORCALL_ARGUMENTS_OFFSET), so a bound method is called without copying them.

// callable(args...)
template <typename... A>
Ref call(PyObject *callable, const A &...args) noexcept {
    PyObject *argv[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(args...), with the method looked up as a method call looks it up.
template <typename... A>
Ref call_method(PyObject *obj, PyObject *name, const A &...args) noexcept {
    PyObject *argv[] = {obj, args...};
    return Ref::steal(
        PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(positional..., name=value...): the last N of `args` are the values of the
// keywords `keywords` names, in order.
template <std::size_t N, typename... A>
Ref call_kw(PyObject *callable, NameTuple<N> &keywords, const A &...args) noexcept {
    static_assert(sizeof...(A) >= N, "a value for every keyword");
    PyObject *kwnames = keywords.get();
    if (kwnames == nullptr) return {};
    PyObject *argv[] = {nullptr, args...};
    return Ref::steal(
        PyObject_Vectorcall(callable, argv + 1, (sizeof...(A) - N) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

}  // namespace carvola
