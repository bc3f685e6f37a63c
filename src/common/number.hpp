// Numbers an algorithm is written over once: Machine (doubles that know whether they hold
// an int) for the fast run, Object (Python objects through the number protocol) for the rest.
// An operation that cannot go on throws Failed: on Machines the run hands over to Objects,
// on Objects Python's exception is set. fast_or_general() runs the two in turn. Beside
// them, small ints are read and written natively where a call would cost more than the work.
#pragma once

#include "attributes.hpp"  // get_attr, which callers once found here
#include "calls.hpp"
#include "ref.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace carvola {

// The value of an int of magnitude below 2**60 (at most two digits); false for anything
// larger, leaving it to the number protocol. `value` must be an int.
inline bool small_int(PyObject *value, long long &out) noexcept {
    // Private: the digits are read directly, as these reads sit on the hottest paths and
    // PyLong_AsLongLongAndOverflow costs a call and a reference round trip per read.
    static_assert(PyLong_SHIFT == 30, "CPython 3.11 ints have 30-bit digits");
    const PyLongObject *v = reinterpret_cast<const PyLongObject *>(value);
    const Py_ssize_t size = Py_SIZE(v);
    if (size > 2 || size < -2) return false;
    long long magnitude = size == 0 ? 0 : static_cast<long long>(v->ob_digit[0]);
    if (size == 2 || size == -2) magnitude |= static_cast<long long>(v->ob_digit[1]) << PyLong_SHIFT;
    out = size < 0 ? -magnitude : magnitude;
    return true;
}

struct Failed {};

// A Python int or float held as a double. An int stays below 2**53, where every int is
// an exact double, and a float stays finite; an operation whose Python result would not
// (or that Python would refuse: a zero divisor, a negative root) throws Failed. Within the
// range each operation is the one Python performs, so the results are Python's.
class Machine {
public:
    Machine() noexcept = default;
    static Machine integer(double value) {
        // Python has no negative int zero; -0.0 would show in a later float product.
        return std::fabs(value) < kExact ? Machine(value + 0.0, Kind::integer) : throw Failed{};
    }
    static Machine real(double value) { return std::isfinite(value) ? Machine(value, Kind::real) : throw Failed{}; }
    // math.inf as a running minimum's start: every Machine compares below it, and any
    // arithmetic on it leaves the range (Failed).
    static Machine infinity() noexcept { return Machine(HUGE_VAL, Kind::real); }
    // A comparison's result: True or False.
    static Machine boolean(bool value) noexcept { return Machine(value ? 1.0 : 0.0, Kind::boolean); }
    // An exact int or float in range; Failed for anything else, subclasses included.
    static Machine of(PyObject *obj) {
        if (obj != nullptr && PyFloat_CheckExact(obj)) return real(PyFloat_AS_DOUBLE(obj));
        long long value;
        if (obj == nullptr || !PyLong_CheckExact(obj) || !small_int(obj, value)) throw Failed{};
        return integer(static_cast<double>(value));
    }

    bool is_int() const noexcept { return kind_ == Kind::integer; }
    double value() const noexcept { return value_; }
    // The int, float or bool object; null with an exception set when it cannot be made.
    Ref object() const noexcept {
        if (kind_ == Kind::boolean) return Ref::borrow(value_ != 0.0 ? Py_True : Py_False);
        if (is_int()) return Ref::steal(PyLong_FromLongLong(static_cast<long long>(value_)));
        return Ref::steal(PyFloat_FromDouble(value_));
    }

    friend Machine operator+(Machine a, Machine b) { return arithmetic(a, b, a.value_ + b.value_); }
    friend Machine operator-(Machine a, Machine b) { return arithmetic(a, b, a.value_ - b.value_); }
    friend Machine operator*(Machine a, Machine b) { return arithmetic(a, b, a.value_ * b.value_); }
    // a / b: true division. Of two exact doubles the quotient is correctly rounded, as
    // Python's int division is.
    friend Machine operator/(Machine a, Machine b) {
        return b.value_ != 0.0 ? real(a.value_ / b.value_) : throw Failed{};
    }
    // a % b of two ints, with the sign of b.
    friend Machine operator%(Machine a, Machine b) {
        if (!a.is_int() || !b.is_int() || b.value_ == 0.0) throw Failed{};
        const long long x = static_cast<long long>(a.value_), y = static_cast<long long>(b.value_);
        const long long r = x % y;
        return integer(static_cast<double>(r != 0 && (r < 0) != (y < 0) ? r + y : r));
    }
    Machine &operator*=(Machine b) { return *this = *this * b; }

    // a < b and so on: comparisons of exact doubles are exact.
    friend Machine lt(Machine a, Machine b) noexcept { return boolean(a.value_ < b.value_); }
    friend Machine le(Machine a, Machine b) noexcept { return boolean(a.value_ <= b.value_); }
    friend Machine gt(Machine a, Machine b) noexcept { return boolean(a.value_ > b.value_); }
    friend Machine ge(Machine a, Machine b) noexcept { return boolean(a.value_ >= b.value_); }
    friend Machine eq(Machine a, Machine b) noexcept { return boolean(a.value_ == b.value_); }
    friend bool truth(Machine a) noexcept { return a.value_ != 0.0; }

    // abs(a): a float of a float, an int otherwise, in range as `a` is.
    friend Machine abs(Machine a) noexcept {
        const Kind kind = a.kind_ == Kind::real ? Kind::real : Kind::integer;
        return Machine(std::fabs(a.value_), kind);
    }
    // int(a); an int stays itself.
    friend Machine to_int(Machine a) { return a.is_int() ? a : integer(std::trunc(a.value_)); }

private:
    enum class Kind : unsigned char { integer, real, boolean };
    static constexpr double kExact = 9007199254740992.0;  // 2**53

    Machine(double value, Kind kind) noexcept : value_(value), kind_(kind) {}
    // An int result of two ints, a float otherwise.
    static Machine arithmetic(Machine a, Machine b, double result) {
        return a.is_int() && b.is_int() ? integer(result) : real(result);
    }

    double value_ = 0.0;
    Kind kind_ = Kind::integer;
};

// math.floor, round and math.sqrt on Machines, as callables the compiler can inline.
inline constexpr auto machine_floor = [](Machine a) {
    return a.is_int() ? a : Machine::integer(std::floor(a.value()));
};
inline constexpr auto machine_round = [](Machine a) {
    // halves to even, as Python's round does, in the default rounding mode Python keeps
    return a.is_int() ? a : Machine::integer(std::nearbyint(a.value()));
};
inline constexpr auto machine_sqrt = [](Machine a) {
    return a.value() >= 0.0 ? Machine::real(std::sqrt(a.value())) : throw Failed{};
};

// A Python object, operated on as the interpreter's operators do.
class Object {
public:
    Object() noexcept = default;
    // Takes a C API result: Failed when it is null.
    explicit Object(Ref result) : ref_(std::move(result)) {
        if (!ref_) throw Failed{};
    }
    explicit Object(PyObject *result) : Object(Ref::steal(result)) {}
    static Object integer(long long value) { return Object(PyLong_FromLongLong(value)); }
    static Object real(double value) { return Object(PyFloat_FromDouble(value)); }
    static Object of(PyObject *obj) { return Object(Py_NewRef(obj)); }
    static Object boolean(bool value) { return of(value ? Py_True : Py_False); }
    static Object infinity() { return real(Py_HUGE_VAL); }

    PyObject *get() const noexcept { return ref_.get(); }
    Ref object() const noexcept { return ref_; }

    friend Object operator+(const Object &a, const Object &b) { return Object(PyNumber_Add(a.get(), b.get())); }
    friend Object operator-(const Object &a, const Object &b) { return Object(PyNumber_Subtract(a.get(), b.get())); }
    friend Object operator*(const Object &a, const Object &b) { return Object(PyNumber_Multiply(a.get(), b.get())); }
    friend Object operator/(const Object &a, const Object &b) { return Object(PyNumber_TrueDivide(a.get(), b.get())); }
    friend Object operator%(const Object &a, const Object &b) { return Object(PyNumber_Remainder(a.get(), b.get())); }
    Object &operator*=(const Object &b) { return *this = Object(PyNumber_InPlaceMultiply(get(), b.get())); }

    friend Object lt(const Object &a, const Object &b) { return Object(PyObject_RichCompare(a.get(), b.get(), Py_LT)); }
    friend Object le(const Object &a, const Object &b) { return Object(PyObject_RichCompare(a.get(), b.get(), Py_LE)); }
    friend Object gt(const Object &a, const Object &b) { return Object(PyObject_RichCompare(a.get(), b.get(), Py_GT)); }
    friend Object ge(const Object &a, const Object &b) { return Object(PyObject_RichCompare(a.get(), b.get(), Py_GE)); }
    friend Object eq(const Object &a, const Object &b) { return Object(PyObject_RichCompare(a.get(), b.get(), Py_EQ)); }
    friend bool truth(const Object &a) {
        const int holds = PyObject_IsTrue(a.get());
        return holds >= 0 ? holds : throw Failed{};
    }
    friend Object abs(const Object &a) { return Object(PyNumber_Absolute(a.get())); }
    friend Object to_int(const Object &a) { return Object(PyNumber_Long(a.get())); }
    // A call of this callable with one number (on Machines, a native stand-in such as
    // Machine::sqrt takes the callable's place).
    Object operator()(const Object &x) const { return Object(call(get(), x.get())); }

private:
    Ref ref_;
};

// max(a, b) and min(a, b) as the builtins take them: a unless b compares greater (smaller).
template <typename N>
N max_of(const N &a, const N &b) {
    return truth(gt(b, a)) ? b : a;
}

template <typename N>
N min_of(const N &a, const N &b) {
    return truth(lt(b, a)) ? b : a;
}

// The Ref fast() makes, or general()'s when the fast run hands over; null with Python's
// exception set when either run fails with one (a Ctrl-C the fast run noticed, say).
template <typename Fast, typename General>
Ref fast_or_general(const Fast &fast, const General &general) {
    try {
        return fast();
    } catch (const Failed &) {
        if (PyErr_Occurred()) return {};
    }
    try {
        return general();
    } catch (const Failed &) {
        return {};
    }
}

// f"{a}{sep}{b}" of two machine ints, written here: a small text costs a formatting call
// more than it takes to write.
inline Ref int_pair_text(long long a, char sep, long long b) noexcept {
    char text[48];
    char *end = std::to_chars(text, text + 20, a).ptr;
    *end++ = sep;
    end = std::to_chars(end, end + 20, b).ptr;
    const Py_ssize_t n = end - text;
    Ref result = Ref::steal(PyUnicode_New(n, 127));
    if (result) std::memcpy(PyUnicode_1BYTE_DATA(result.get()), text, static_cast<std::size_t>(n));
    return result;
}

// f"{a}{sep}{b}" of two objects: exact small ints are written natively, anything else
// goes through str().
inline Ref int_pair_text(PyObject *a, char sep, PyObject *b) noexcept {
    long long x, y;
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b) && small_int(a, x) && small_int(b, y))
        return int_pair_text(x, sep, y);
    return Ref::steal(PyUnicode_FromFormat("%S%c%S", a, static_cast<int>(sep), b));
}

// int(text[start:end]): a run of up to 18 ASCII digits is counted here; anything else
// (blanks, signs, underscores, other digits, errors) is left to int() itself.
inline Ref decimal_int(PyObject *text, Py_ssize_t start, Py_ssize_t end) noexcept {
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    long long value = 0;
    Py_ssize_t i = start;
    for (Py_UCS4 c; i < end && i - start < 18; ++i) {
        if ((c = PyUnicode_READ(kind, data, i)) < '0' || c > '9') break;
        value = value * 10 + (c - '0');
    }
    if (i == end && end > start) return Ref::steal(PyLong_FromLongLong(value));
    Ref piece = Ref::steal(PyUnicode_Substring(text, start, end));
    return piece ? Ref::steal(PyLong_FromUnicodeObject(piece.get(), 10)) : Ref();
}

}  // namespace carvola
