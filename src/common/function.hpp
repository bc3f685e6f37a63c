// The contract of a Python-visible function, declared once beside its body: name, kind,
// parameters with conversions, defaults and annotations, return check, docstring.
#pragma once

#include "names.hpp"

#include <cstddef>
#include <exception>
#include <new>
#include <type_traits>
#include <utility>

namespace carvola {

// The line of a caller, taken where a default argument is evaluated. __builtin_LINE, which
// GCC and clang both offer, serves where std::source_location would: clang before 15 (the
// fuzzing build's compiler) finds no std::source_location in libstdc++.
struct CallSite {
    static constexpr CallSite current(unsigned line = __builtin_LINE()) noexcept { return CallSite{line}; }
    constexpr unsigned line() const noexcept { return line_; }
    unsigned line_ = 0;
};

inline constexpr int kMaxParams = 8;

// How an argument is taken before the body sees it.
enum class Conv : unsigned char {
    object,   // any object, passed on as it is
    str,      // exactly str; None as well when the default is None or the annotation is Optional[...]
    bytes,    // exactly bytes, same rule for None
    list,     // exactly list, same rule for None
    integer,  // an int as it is, any other number through int(); the body gets an exact int
    real,     // the interpreter's float conversion; the body gets a double
    truth,    // the truth value; the body gets a bool
};

// What the body's result must be on the way out: anything (object), exactly str or list or
// None, or an int as it is and any other number through int() (integer).
using Ret = Conv;

enum class Kind : unsigned char { function, method, staticmethod, classmethod };

// A default value: the function that makes its object at module execution. Whether one is
// given is kept apart from its address, which GCC's sanitizer build cannot compare at compile
// time.
struct Default {
    constexpr Default() noexcept = default;
    constexpr Default(Ref (*maker)() noexcept) noexcept : make(maker), given(true) {}
    Ref (*make)() noexcept = nullptr;
    bool given = false;
};

namespace dflt {
inline Ref none() noexcept { return Ref::borrow(Py_None); }
template <bool V>
Ref boolean() noexcept {
    return Ref::borrow(V ? Py_True : Py_False);
}
template <long long V>
Ref integer() noexcept {
    return Ref::steal(PyLong_FromLongLong(V));
}
// A float of whole value: a template argument can be a double only from clang 18 on.
template <long long V>
Ref real() noexcept {
    return Ref::steal(PyFloat_FromDouble(static_cast<double>(V)));
}
template <Literal S>
Ref text() noexcept {
    return Ref::steal(PyUnicode_FromString(S.text));
}
// A tuple of small ints, such as an RGBA colour.
template <int... I>
Ref ints() noexcept {
    static constexpr char format[] = {'(', (static_cast<void>(I), 'i')..., ')', '\0'};
    return Ref::steal(Py_BuildValue(format, I...));
}
}  // namespace dflt

struct Param {
    const char *name = nullptr;
    Conv conv = Conv::object;
    const char *annotation = nullptr;  // the annotation text; none when null
    Default value{};
};

// One bound and converted argument as the body receives it; only the member its
// conversion fills is read.
struct Slot {
    PyObject *obj;  // borrowed
    double real;
    bool truth;
};

using Entry = PyObject *(*)(const Slot *) noexcept;

// The C++ side of a function: its entry point and, per parameter, the conversion its C++
// type takes (real for double, truth for bool, object for PyObject*).
struct Body {
    Entry entry = nullptr;
    int arity = 0;
    Conv types[kMaxParams + 1] = {};
    int line = 0;  // where the contract is declared; shown in traceback entries
};

struct Function {
    const char *name = nullptr;
    Kind kind = Kind::method;
    Param params[kMaxParams] = {};
    bool var_keywords = false;  // collects other keyword arguments into a dict passed last
    Ret returns = Ret::object;
    const char *return_annotation = nullptr;
    const char *doc = nullptr;
    Body body{};
};

namespace detail {

// The conversion a body parameter of C++ type T takes, and the slot member it fills.
template <typename T>
constexpr Conv body_type = std::is_same_v<T, double> ? Conv::real
                           : std::is_same_v<T, bool> ? Conv::truth
                                                     : Conv::object;

template <typename T>
T slot_value(const Slot &s) {
    if constexpr (body_type<T> == Conv::real) return s.real;
    else if constexpr (body_type<T> == Conv::truth) return s.truth;
    else {
        static_assert(std::is_same_v<T, PyObject *>, "a body takes PyObject*, double or bool");
        return s.obj;
    }
}

Py_NO_INLINE inline void report_cpp_exception() noexcept {
    PyErr_SetString(PyExc_SystemError, "a C++ exception escaped a carvola function");
}

template <typename... A>
constexpr Body describe(Ref (*)(A...), Entry entry, int line) {
    static_assert(sizeof...(A) <= kMaxParams + 1, "too many parameters");
    return Body{.entry = entry, .arity = sizeof...(A), .types = {body_type<A>...}, .line = line};
}

template <typename... A>
PyObject *call(Ref (*fn)(A...), const Slot *slots) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return fn(slot_value<A>(slots[I])...).release();
    }(std::index_sequence_for<A...>{});
}

template <auto F>
PyObject *entry_point(const Slot *slots) noexcept {
    try {
        return call(F, slots);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (...) {
        report_cpp_exception();
    }
    return nullptr;
}

}  // namespace detail

// The body of a function: a C++ function returning Ref (null with an exception set on
// failure) and taking PyObject* (borrowed), double or bool per parameter, in order.
template <auto F>
consteval Body native(CallSite where = CallSite::current()) {
    return detail::describe(F, &detail::entry_point<F>, static_cast<int>(where.line()));
}

// Checks a contract against its body at compile time; a failure stops the build here.
consteval const Function &checked(const Function &f) {
    int n = 0;
    bool seen_default = false;
    for (const Param &p : f.params) {
        if (p.name == nullptr) break;
        const bool has_default = p.value.given;
        if (seen_default && !has_default) throw "a parameter without default follows one with a default";
        seen_default = seen_default || has_default;
        const Conv want = p.conv == Conv::real || p.conv == Conv::truth ? p.conv : Conv::object;
        if (n >= f.body.arity || f.body.types[n] != want) throw "body parameter does not match its conversion";
        ++n;
    }
    if (f.var_keywords) {
        if (f.body.types[n] != Conv::object) throw "the keyword dict is passed as PyObject*";
        ++n;
    }
    if (n != f.body.arity) throw "body arity differs from the declared parameters";
    if (f.kind != Kind::function && f.kind != Kind::staticmethod && f.params[0].name == nullptr)
        throw "a method takes its instance or class as first parameter";
    return f;
}

// A new function object for `f`; `class_name` prefixes its qualified name when given.
Ref make_function(const Function &f, const char *class_name);

// Adds the traceback entry of `callee`, as its function object adds it when a call through
// Python fails: "carvola.<module>.<qualified name>", the module's file, the contract's line.
void add_entry(const Function &callee) noexcept;

// The body `F` of the contract `callee`, called straight from another body of the package
// without going through its function object. An exception passing through it gets the
// callee's own traceback entry, exactly as a Python-level call would leave it.
template <auto F, typename... A>
auto call_direct(const Function &callee, A &&...args) {
    auto result = F(std::forward<A>(args)...);
    if (!result) add_entry(callee);
    return result;
}

}  // namespace carvola
