// Numbers an algorithm is written over once: Machine (doubles that know whether they hold
// an int) for the fast run, Object (Python objects through the number protocol) for the rest.
#pragma once

#include "numbers.hpp"
#include "ref.hpp"

#include <cmath>

namespace carvola {

// A Python int or float held as a double. An int stays below 2**53, where every int is
// an exact double, and a float stays finite; an operation whose Python result would not
// (or that Python would refuse: a zero divisor, a negative root) gives a failed Machine,
// which tells the caller to run the algorithm again on Objects. Within the range each
// operation is the one Python performs, so the results are Python's.
class Machine {
public:
    Machine() noexcept = default;
    static Machine integer(double value) noexcept {
        // Python has no negative int zero; -0.0 would show in a later float product.
        return std::fabs(value) < kExact ? Machine(value + 0.0, Kind::integer) : Machine();
    }
    static Machine real(double value) noexcept { return std::isfinite(value) ? Machine(value, Kind::real) : Machine(); }
    // A comparison's result; it becomes True or False through truth().
    static Machine boolean(bool value) noexcept { return Machine(value ? 1.0 : 0.0, Kind::integer); }
    // An exact int or float in range; failed for anything else, subclasses included.
    static Machine of(PyObject *obj) noexcept {
        if (obj == nullptr) return {};
        if (PyFloat_CheckExact(obj)) return real(PyFloat_AS_DOUBLE(obj));
        long long value;
        return exact_in_double(obj, value) ? integer(static_cast<double>(value)) : Machine();
    }

    bool ok() const noexcept { return kind_ != Kind::failed; }
    bool is_int() const noexcept { return kind_ == Kind::integer; }
    double value() const noexcept { return value_; }
    // The int or float object; null with an exception set when it cannot be made.
    Ref object() const noexcept {
        if (is_int()) return Ref::steal(PyLong_FromLongLong(static_cast<long long>(value_)));
        return Ref::steal(PyFloat_FromDouble(value_));
    }

    friend Machine operator+(Machine a, Machine b) noexcept { return arithmetic(a, b, a.value_ + b.value_); }
    friend Machine operator-(Machine a, Machine b) noexcept { return arithmetic(a, b, a.value_ - b.value_); }
    friend Machine operator*(Machine a, Machine b) noexcept { return arithmetic(a, b, a.value_ * b.value_); }
    // a / b: true division. Of two exact doubles the quotient is correctly rounded, as
    // Python's int division is.
    friend Machine operator/(Machine a, Machine b) noexcept {
        return a.ok() && b.ok() && b.value_ != 0.0 ? real(a.value_ / b.value_) : Machine();
    }
    // a % b of two ints, with the sign of b.
    friend Machine operator%(Machine a, Machine b) noexcept {
        if (!a.is_int() || !b.is_int() || b.value_ == 0.0) return {};
        const long long x = static_cast<long long>(a.value_), y = static_cast<long long>(b.value_);
        const long long r = x % y;
        return integer(static_cast<double>(r != 0 && (r < 0) != (y < 0) ? r + y : r));
    }
    Machine &operator*=(Machine b) noexcept { return *this = *this * b; }

    // a < b and so on, as an int 0 or 1: comparisons of exact doubles are exact.
    friend Machine lt(Machine a, Machine b) noexcept { return compared(a, b, a.value_ < b.value_); }
    friend Machine le(Machine a, Machine b) noexcept { return compared(a, b, a.value_ <= b.value_); }
    friend Machine gt(Machine a, Machine b) noexcept { return compared(a, b, a.value_ > b.value_); }
    friend Machine ge(Machine a, Machine b) noexcept { return compared(a, b, a.value_ >= b.value_); }
    friend Machine eq(Machine a, Machine b) noexcept { return compared(a, b, a.value_ == b.value_); }
    // bool(a): 1, 0, or -1 for a failed number.
    friend int truth(Machine a) noexcept { return a.ok() ? a.value_ != 0.0 : -1; }

    // int(a), math.floor(a), round(a) and math.sqrt(a).
    friend Machine to_int(Machine a) noexcept { return whole(a, std::trunc(a.value_)); }
    friend Machine floor(Machine a) noexcept { return whole(a, std::floor(a.value_)); }
    friend Machine round(Machine a) noexcept {
        double rounded = std::round(a.value_);  // halves away from zero; Python's go to even
        if (std::fabs(a.value_ - rounded) == 0.5) rounded = 2.0 * std::round(a.value_ / 2.0);
        return whole(a, rounded);
    }
    friend Machine sqrt(Machine a) noexcept {
        return a.ok() && a.value_ >= 0.0 ? real(std::sqrt(a.value_)) : Machine();
    }

private:
    enum class Kind : unsigned char { failed, integer, real };
    static constexpr double kExact = 9007199254740992.0;  // 2**53

    Machine(double value, Kind kind) noexcept : value_(value), kind_(kind) {}

    static Machine arithmetic(Machine a, Machine b, double result) noexcept {
        if (!a.ok() || !b.ok()) return {};
        return a.is_int() && b.is_int() ? integer(result) : real(result);
    }
    static Machine compared(Machine a, Machine b, bool result) noexcept {
        return a.ok() && b.ok() ? boolean(result) : Machine();
    }
    static Machine whole(Machine a, double result) noexcept {
        if (!a.ok()) return {};
        return a.is_int() ? a : integer(result);
    }

    double value_ = 0.0;
    Kind kind_ = Kind::failed;
};

// A Python object, operated on as the interpreter's operators do. A failed Object holds
// null with the exception set; an operation on a failed Object fails without a call.
class Object {
public:
    Object() noexcept = default;
    explicit Object(Ref ref) noexcept : ref_(std::move(ref)) {}
    static Object integer(long long value) noexcept { return Object(Ref::steal(PyLong_FromLongLong(value))); }
    static Object real(double value) noexcept { return Object(Ref::steal(PyFloat_FromDouble(value))); }
    static Object of(PyObject *obj) noexcept { return Object(Ref::borrow(obj)); }
    static Object boolean(bool value) noexcept { return Object(Ref::borrow(value ? Py_True : Py_False)); }

    bool ok() const noexcept { return static_cast<bool>(ref_); }
    PyObject *get() const noexcept { return ref_.get(); }
    Ref object() const noexcept { return ref_; }

    friend Object operator+(const Object &a, const Object &b) noexcept { return binary(PyNumber_Add, a, b); }
    friend Object operator-(const Object &a, const Object &b) noexcept { return binary(PyNumber_Subtract, a, b); }
    friend Object operator*(const Object &a, const Object &b) noexcept { return binary(PyNumber_Multiply, a, b); }
    friend Object operator/(const Object &a, const Object &b) noexcept { return binary(PyNumber_TrueDivide, a, b); }
    friend Object operator%(const Object &a, const Object &b) noexcept { return binary(PyNumber_Remainder, a, b); }
    Object &operator*=(const Object &b) noexcept { return *this = binary(PyNumber_InPlaceMultiply, *this, b); }

    friend Object lt(const Object &a, const Object &b) noexcept { return compared(a, b, Py_LT); }
    friend Object le(const Object &a, const Object &b) noexcept { return compared(a, b, Py_LE); }
    friend Object gt(const Object &a, const Object &b) noexcept { return compared(a, b, Py_GT); }
    friend Object ge(const Object &a, const Object &b) noexcept { return compared(a, b, Py_GE); }
    friend Object eq(const Object &a, const Object &b) noexcept { return compared(a, b, Py_EQ); }
    friend int truth(const Object &a) noexcept { return a.ok() ? PyObject_IsTrue(a.get()) : -1; }

    friend Object to_int(const Object &a) noexcept {
        return a.ok() ? Object(Ref::steal(PyNumber_Long(a.get()))) : Object();
    }

private:
    static Object binary(PyObject *(*op)(PyObject *, PyObject *), const Object &a, const Object &b) noexcept {
        return a.ok() && b.ok() ? Object(Ref::steal(op(a.get(), b.get()))) : Object();
    }
    static Object compared(const Object &a, const Object &b, int op) noexcept {
        return a.ok() && b.ok() ? Object(Ref::steal(PyObject_RichCompare(a.get(), b.get(), op))) : Object();
    }

    Ref ref_;
};

// max(a, b) and min(a, b) as the builtins take them: a unless b compares greater (smaller).
template <typename N>
N max_of(const N &a, const N &b) noexcept {
    const int greater = truth(gt(b, a));
    return greater < 0 ? N() : greater ? b : a;
}

template <typename N>
N min_of(const N &a, const N &b) noexcept {
    const int less = truth(lt(b, a));
    return less < 0 ? N() : less ? b : a;
}

// A function of one number as the algorithm calls it: on Machines a native function, on
// Objects a Python callable looked up where the Python code evaluates its name.
struct MachineFunction {
    // math.floor, round and math.sqrt, as their native stand-ins.
    static MachineFunction math_floor() noexcept { return {[](Machine x) noexcept { return floor(x); }}; }
    static MachineFunction builtin_round() noexcept { return {[](Machine x) noexcept { return round(x); }}; }
    static MachineFunction math_sqrt() noexcept { return {[](Machine x) noexcept { return sqrt(x); }}; }

    Machine (*fn)(Machine) noexcept;
    explicit operator bool() const noexcept { return true; }
    Machine operator()(Machine x) const noexcept { return fn(x); }
};

struct ObjectFunction {
    Ref fn;  // null with an exception set when the lookup failed
    explicit operator bool() const noexcept { return static_cast<bool>(fn); }
    Object operator()(const Object &x) const noexcept {
        if (!x.ok()) return {};
        PyObject *argv[] = {nullptr, x.get()};
        return Object(Ref::steal(PyObject_Vectorcall(fn.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
    }
};

}  // namespace carvola
