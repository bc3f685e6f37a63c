// Calls as Python makes them: callable(args...) and obj.name(args...), callable with
// keyword arguments, and the tuples of interned names that keyword calls take.
#pragma once

#include "names.hpp"

#include <cstddef>

namespace carvola {

// The tuple of the interned names "a", "b", ..., made on first use and kept for the
// process: call_kw(f, name_tuple<"flags">, pattern, flags) is f(pattern, flags=flags).
template <Literal... L>
class NameTuple {
public:
    // Borrowed; null with an exception set when the tuple cannot be made.
    PyObject *get() noexcept {
        if (tuple_.get() == nullptr) {
            Ref tuple = Ref::steal(PyTuple_Pack(sizeof...(L), name_object<L>.get()...));
            tuple_.keep(tuple.get());
        }
        return tuple_.get();
    }

private:
    Retained tuple_;
};

template <Literal... L>
inline NameTuple<L...> name_tuple;

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
template <Literal... L, typename... A>
Ref call_kw(PyObject *callable, NameTuple<L...> &keywords, const A &...args) noexcept {
    constexpr std::size_t N = sizeof...(L);
    static_assert(sizeof...(A) >= N, "a value for every keyword");
    PyObject *kwnames = keywords.get();
    if (kwnames == nullptr) return {};
    PyObject *argv[] = {nullptr, args...};
    return Ref::steal(
        PyObject_Vectorcall(callable, argv + 1, (sizeof...(A) - N) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

}  // namespace carvola
