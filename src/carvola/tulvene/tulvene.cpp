// carvola.tulvene: GPTImageSizeCalculator, which computes a legal gpt-image-2 output size
// from an aspect-ratio string and a resolution preset under the model's size constraints.
#include "errors.hpp"
#include "module.hpp"
#include "numbers.hpp"

#include <cmath>
#include <cstring>
#include <iterator>

namespace carvola::tulvene {
namespace {

Name n_math{"math"};
Name n_sqrt{"sqrt"};
Name n_floor{"floor"};
Name n_round{"round"};
Name n_lower{"lower"};
Name n_get{"get"};
Name n_service_error{"ServiceError"};
Name n_calculator{"GPTImageSizeCalculator"};
Name n_min_pixels{"MIN_PIXELS"};
Name n_max_pixels{"MAX_PIXELS"};
Name n_max_edge{"MAX_EDGE"};
Name n_multiple{"MULTIPLE"};
Name n_max_ratio{"MAX_RATIO"};
Name n_resolution_preset{"RESOLUTION_PRESET"};
Name n_round_to_multiple{"round_to_multiple"};
Name n_floor_to_multiple{"floor_to_multiple"};
Name n_is_valid_image_size{"is_valid_image_size"};
Name n_fallback_preset{"2k"};
Name n_width{"width"};
Name n_height{"height"};
Name n_size{"size"};
Name n_pixels{"pixels"};
Name n_aspect_ratio{"aspect_ratio"};
Name n_resolution{"resolution"};
Name n_valid{"valid"};

constexpr int kMaxLoop = 20;
constexpr const char *kRatioRefused = "图像宽高比不合法, 相差太大";

// The objects the C paths compare against: while the module global `math`, its `sqrt` and
// `floor` and the class's methods are still these, their results are computed in C.
Retained original_math;
Retained original_sqrt;
Retained original_floor;
Retained original_round_to_multiple;
Retained original_floor_to_multiple;
Retained original_is_valid_image_size;
// The builtin round(), taken when the module is executed, as builtins are.
Retained builtin_round;
// The keys of calc_size's result in order, each mapped to None.
Retained result_shape;
const Name *const result_keys[] = {&n_width, &n_height, &n_size, &n_pixels, &n_aspect_ratio, &n_resolution, &n_valid};

AttributeCache math_sqrt_cache;
AttributeCache math_floor_cache;

// ----- class constants -----

Ref int_constant(long long value) { return Ref::steal(PyLong_FromLongLong(value)); }

Ref resolution_preset() {
    static constexpr struct {
        const char *name;
        long pixels;
    } presets[] = {{"1k", 1572516}, {"2k", 6553600}, {"4k", 8294400}};
    Ref table = Ref::steal(PyDict_New());
    if (!table) return {};
    for (const auto &preset : presets) {
        Ref pixels = Ref::steal(PyLong_FromLong(preset.pixels));
        if (!pixels || PyDict_SetItemString(table.get(), preset.name, pixels.get()) < 0) return {};
    }
    return table;
}

// ----- class attributes -----

// getattr(cls, name) when it can run no code: the metaclass is exactly `type` (which has
// no attribute of these names) and the value found along the MRO is no descriptor.
// Borrowed; null, with no exception set, when getattr would have to run.
PyObject *plain_attribute(PyObject *cls, PyObject *name) {
    if (!Py_IS_TYPE(cls, &PyType_Type)) return nullptr;
    PyObject *found = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls), name);
    return found != nullptr && Py_TYPE(found)->tp_descr_get == nullptr ? found : nullptr;
}

// cls.<name>
Ref class_attribute(PyObject *cls, PyObject *name) {
    if (PyObject *found = plain_attribute(cls, name)) return Ref::borrow(found);
    return get_attr(cls, name);
}

// cls.<name> is the bound form of the module's own classmethod `original`.
bool method_is_original(PyObject *cls, PyObject *name, const Retained &original) {
    return Py_IS_TYPE(cls, &PyType_Type) &&
           _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls), name) == original.get();
}

// cls.<name>(args...)
template <typename... A>
Ref call_method(PyObject *cls, PyObject *name, A... args) {
    Ref method = get_attr(cls, name);
    if (!method) return {};
    PyObject *argv[] = {args...};
    return Ref::steal(PyObject_Vectorcall(method.get(), argv, sizeof...(A), nullptr));
}

// math.<name>, looked up at the moment of use.
Ref math_function(const Name &name, AttributeCache &cache) {
    Ref math = global(n_math);
    if (!math) return {};
    return module_attribute(math.get(), name, cache);
}

// The imported `math` module with its own sqrt and floor, looked up without raising.
bool math_is_original() {
    Ref math = global(n_math);
    if (!math) {
        PyErr_Clear();  // a later use raises the NameError where Python would
        return false;
    }
    if (math.get() != original_math.get()) return false;
    Ref sqrt = module_attribute(math.get(), n_sqrt, math_sqrt_cache);
    Ref floor = sqrt ? module_attribute(math.get(), n_floor, math_floor_cache) : Ref();
    if (!floor) {
        PyErr_Clear();
        return false;
    }
    return sqrt.get() == original_sqrt.get() && floor.get() == original_floor.get();
}

// ----- Python operations on objects -----

// max(a, b) and min(a, b): a unless b compares greater (smaller).
Ref larger(PyObject *a, PyObject *b) {
    const int greater = PyObject_RichCompareBool(b, a, Py_GT);
    return greater < 0 ? Ref() : Ref::borrow(greater ? b : a);
}

Ref smaller(PyObject *a, PyObject *b) {
    const int less = PyObject_RichCompareBool(b, a, Py_LT);
    return less < 0 ? Ref() : Ref::borrow(less ? b : a);
}

Ref call1(PyObject *fn, PyObject *arg) { return Ref::steal(PyObject_CallOneArg(fn, arg)); }

// ----- the constraints in C -----

// Bounds within which the C arithmetic below is exact: every int product fits in 63 bits
// and every int that meets a float is below 2**53, so it converts without rounding.
constexpr long long kMaxMultiple = 1LL << 20;
constexpr long long kMaxLimit = 1LL << 40;    // pixel counts and edge lengths
constexpr long long kMaxSide = 1LL << 31;     // width and height given to is_valid_image_size
constexpr double kMaxLoopSide = 1 << 26;      // w and h in the corrective loop
constexpr long long kExactInDouble = 1LL << 53;

// The class constants, as C values. Reading them once equals reading them at each use as
// long as no Python code runs in between: these reads run none, nor does C arithmetic.
struct Limits {
    long long min_pixels, max_pixels, max_edge, multiple;
    double max_ratio;
};

bool exact_int_in(PyObject *obj, long long low, long long high, long long &out) {
    return obj != nullptr && PyLong_CheckExact(obj) && small_int(obj, out) && out >= low && out <= high;
}

// false, with no exception set, unless every constant is a plain value in range.
bool read_limits(PyObject *cls, Limits &limits) {
    PyObject *max_ratio = plain_attribute(cls, n_max_ratio);
    if (max_ratio == nullptr || !PyFloat_CheckExact(max_ratio)) return false;
    limits.max_ratio = PyFloat_AS_DOUBLE(max_ratio);
    return exact_int_in(plain_attribute(cls, n_min_pixels), 0, kMaxLimit, limits.min_pixels) &&
           exact_int_in(plain_attribute(cls, n_max_pixels), 0, kMaxLimit, limits.max_pixels) &&
           exact_int_in(plain_attribute(cls, n_max_edge), 0, kMaxLimit, limits.max_edge) &&
           exact_int_in(plain_attribute(cls, n_multiple), 1, kMaxMultiple, limits.multiple);
}

// What the C paths need to know of a class, found by plain lookups.
struct ClassFacts {
    bool has_limits = false;  // every constant is a plain value in range
    Limits limits{};
    PyObject *preset = nullptr;  // borrowed: RESOLUTION_PRESET when it is an exact dict
    bool originals = false;      // the methods calc_size calls are the module's own
};

// The facts of the last class met, under its version tag. The interpreter gives a class a
// new tag whenever the class or one of its bases changes (its own attribute cache relies
// on that), and valid tags are never 0 nor reused, so an equal tag means equal lookups.
struct RememberedFacts {
    unsigned int version = 0;
    ClassFacts facts;
};
RememberedFacts remembered_facts;

bool tagged(PyTypeObject *type) { return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG); }

ClassFacts class_facts(PyObject *cls) {
    if (!Py_IS_TYPE(cls, &PyType_Type)) return {};
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
    if (tagged(type) && type->tp_version_tag == remembered_facts.version) return remembered_facts.facts;
    ClassFacts facts;
    facts.has_limits = read_limits(cls, facts.limits);
    PyObject *preset = plain_attribute(cls, n_resolution_preset);
    facts.preset = preset != nullptr && PyDict_CheckExact(preset) ? preset : nullptr;
    facts.originals = method_is_original(cls, n_round_to_multiple, original_round_to_multiple) &&
                      method_is_original(cls, n_floor_to_multiple, original_floor_to_multiple) &&
                      method_is_original(cls, n_is_valid_image_size, original_is_valid_image_size);
    if (tagged(type)) remembered_facts = {type->tp_version_tag, facts};  // the lookups tag the class
    return facts;
}

// float.__round__() without digits: to nearest, halves to even.
double round_half_even(double x) {
    double rounded = std::round(x);
    if (std::fabs(x - rounded) == 0.5) rounded = 2.0 * std::round(x / 2.0);
    return rounded;
}

enum class Align { round, floor };

// max(multiple, int(<whole>(value / multiple) * multiple)) for |whole| <= 2**31.
long long align(double value, long long multiple, Align how) {
    const double quotient = value / static_cast<double>(multiple);
    const double whole = how == Align::round ? round_half_even(quotient) : std::floor(quotient);
    const long long aligned = static_cast<long long>(whole) * multiple;
    return aligned > multiple ? aligned : multiple;
}

// The five checks of is_valid_image_size; short_edge must not be 0.
bool valid_in_c(long long width, long long height, const Limits &l) {
    const long long pixels = width * height;
    const long long long_edge = height > width ? height : width;
    const long long short_edge = height < width ? height : width;
    const double ratio = static_cast<double>(long_edge) / static_cast<double>(short_edge);
    return long_edge <= l.max_edge && width % l.multiple == 0 && height % l.multiple == 0 && ratio <= l.max_ratio &&
           l.min_pixels <= pixels && pixels <= l.max_pixels;
}

bool small_side(PyObject *value, long long &out) {
    return PyLong_CheckExact(value) && small_int(value, out) && out >= -kMaxSide && out <= kMaxSide;
}

// cls.is_valid_image_size(width, height) for exact ints, in C when that cannot fail;
// -1 when the call has to be made.
int validity_in_c(PyObject *width, PyObject *height, const Limits &limits) {
    long long w, h;
    if (!small_side(width, w) || !small_side(height, h) || (h < w ? h : w) == 0) return -1;
    return valid_in_c(w, h, limits);
}

int validity_in_c(PyObject *cls, PyObject *width, PyObject *height) {
    const ClassFacts facts = class_facts(cls);
    return facts.has_limits ? validity_in_c(width, height, facts.limits) : -1;
}

// ----- __init__ -----

Ref calculator_init(PyObject *) { return Ref::borrow(Py_None); }

constexpr Function init_contract{
    .name = "__init__",
    .params = {{"self"}},
    .body = native<calculator_init>(),
};

// ----- round_to_multiple, floor_to_multiple -----

// The aligned value in C when `value` is a float or an int exact in a double and
// `multiple` a small non-zero int; false leaves it to the number protocol.
bool aligned_in_c(PyObject *value, PyObject *multiple, Align how, Ref &result) {
    long long m, v;
    if (!PyLong_CheckExact(multiple) || !small_int(multiple, m) || m == 0 || m > kMaxMultiple || m < -kMaxMultiple)
        return false;
    double x;
    if (PyFloat_CheckExact(value))
        x = PyFloat_AS_DOUBLE(value);
    else if (PyLong_CheckExact(value) && small_int(value, v) && v <= kExactInDouble && v >= -kExactInDouble)
        x = static_cast<double>(v);
    else
        return false;
    const double quotient = x / static_cast<double>(m);
    const double whole = how == Align::round ? round_half_even(quotient) : std::floor(quotient);
    if (!(std::fabs(whole) <= static_cast<double>(kMaxSide))) return false;  // also inf and nan
    const long long aligned = static_cast<long long>(whole) * m;
    result = aligned > m ? Ref::steal(PyLong_FromLongLong(aligned)) : Ref::borrow(multiple);
    return true;
}

// max(multiple, int(whole(value / multiple) * multiple)) through the number protocol.
Ref aligned_through_objects(PyObject *value, PyObject *multiple, PyObject *whole_of) {
    Ref quotient = Ref::steal(PyNumber_TrueDivide(value, multiple));
    if (!quotient) return {};
    Ref whole = call1(whole_of, quotient.get());
    if (!whole) return {};
    Ref aligned = Ref::steal(PyNumber_Multiply(whole.get(), multiple));
    if (!aligned) return {};
    Ref as_int = Ref::steal(PyNumber_Long(aligned.get()));
    if (!as_int) return {};
    return larger(multiple, as_int.get());
}

Ref multiple_or_default(PyObject *cls, PyObject *multiple) {
    return multiple == Py_None ? class_attribute(cls, n_multiple) : Ref::borrow(multiple);
}

Ref round_to_multiple(PyObject *cls, PyObject *value, PyObject *multiple_arg) {
    Ref multiple = multiple_or_default(cls, multiple_arg);
    if (!multiple) return {};
    Ref result;
    if (aligned_in_c(value, multiple.get(), Align::round, result)) return result;
    return aligned_through_objects(value, multiple.get(), builtin_round.get());
}

constexpr Function round_to_multiple_contract{
    .name = "round_to_multiple",
    .kind = Kind::classmethod,
    .params = {{"cls"}, {"value"}, {"multiple", Conv::object, nullptr, dflt::none}},
    .returns = Ret::integer,
    .return_annotation = "int",
    .doc = "四舍五入对齐到指定倍数，最小不低于倍数本身",
    .body = native<round_to_multiple>(),
};

Ref floor_to_multiple(PyObject *cls, PyObject *value, PyObject *multiple_arg) {
    Ref multiple = multiple_or_default(cls, multiple_arg);
    if (!multiple) return {};
    Ref floor = math_function(n_floor, math_floor_cache);
    if (!floor) return {};
    Ref result;
    if (floor.get() == original_floor.get() && math_is_original() &&
        aligned_in_c(value, multiple.get(), Align::floor, result)) {
        return result;
    }
    return aligned_through_objects(value, multiple.get(), floor.get());
}

constexpr Function floor_to_multiple_contract{
    .name = "floor_to_multiple",
    .kind = Kind::classmethod,
    .params = {{"cls"}, {"value"}, {"multiple", Conv::object, nullptr, dflt::none}},
    .returns = Ret::integer,
    .return_annotation = "int",
    .doc = "向下对齐倍数，用于像素超限时压缩",
    .body = native<floor_to_multiple>(),
};

// ----- is_valid_image_size -----

Ref compared(PyObject *a, PyObject *b, int op) { return Ref::steal(PyObject_RichCompare(a, b, op)); }

// value % cls.MULTIPLE == 0
Ref is_multiple(PyObject *cls, PyObject *value, PyObject *zero) {
    Ref multiple = class_attribute(cls, n_multiple);
    if (!multiple) return {};
    Ref remainder = Ref::steal(PyNumber_Remainder(value, multiple.get()));
    return remainder ? compared(remainder.get(), zero, Py_EQ) : Ref();
}

// cls.MIN_PIXELS <= pixels <= cls.MAX_PIXELS, the upper bound read only when the lower holds.
Ref pixels_in_range(PyObject *cls, PyObject *pixels) {
    Ref min_pixels = class_attribute(cls, n_min_pixels);
    if (!min_pixels) return {};
    Ref lower = compared(min_pixels.get(), pixels, Py_LE);
    if (!lower) return {};
    const int holds = PyObject_IsTrue(lower.get());
    if (holds <= 0) return holds < 0 ? Ref() : lower;
    Ref max_pixels = class_attribute(cls, n_max_pixels);
    return max_pixels ? compared(pixels, max_pixels.get(), Py_LE) : Ref();
}

// Every check is evaluated, in order, before all() takes their truth values.
Ref valid_through_objects(PyObject *cls, PyObject *width, PyObject *height) {
    Ref pixels = Ref::steal(PyNumber_Multiply(width, height));
    if (!pixels) return {};
    Ref long_edge = larger(width, height);
    Ref short_edge = long_edge ? smaller(width, height) : Ref();
    if (!short_edge) return {};
    Ref ratio = Ref::steal(PyNumber_TrueDivide(long_edge.get(), short_edge.get()));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!ratio || !zero) return {};
    Ref checks[5];
    Ref max_edge = class_attribute(cls, n_max_edge);
    if (!max_edge || !(checks[0] = compared(long_edge.get(), max_edge.get(), Py_LE))) return {};
    if (!(checks[1] = is_multiple(cls, width, zero.get())) || !(checks[2] = is_multiple(cls, height, zero.get())))
        return {};
    Ref max_ratio = class_attribute(cls, n_max_ratio);
    if (!max_ratio || !(checks[3] = compared(ratio.get(), max_ratio.get(), Py_LE))) return {};
    if (!(checks[4] = pixels_in_range(cls, pixels.get()))) return {};
    for (const Ref &check : checks) {
        const int holds = PyObject_IsTrue(check.get());
        if (holds <= 0) return holds < 0 ? Ref() : Ref::borrow(Py_False);
    }
    return Ref::borrow(Py_True);
}

Ref is_valid_image_size(PyObject *cls, PyObject *width, PyObject *height) {
    const int valid = validity_in_c(cls, width, height);
    if (valid >= 0) return Ref::borrow(valid ? Py_True : Py_False);
    return valid_through_objects(cls, width, height);
}

constexpr Function is_valid_image_size_contract{
    .name = "is_valid_image_size",
    .kind = Kind::classmethod,
    .params = {{"cls"}, {"width", Conv::integer, "int"}, {"height", Conv::integer, "int"}},
    .return_annotation = "bool",
    .doc = "完整校验所有尺寸约束",
    .body = native<is_valid_image_size>(),
};

// ----- calc_size: parsing -----

// str.lower(); ASCII text is lowered here, into a new string as str.lower() makes one.
// `same` tells whether the text was lower-case already.
Ref lowered(PyObject *text, bool &same) {
    same = false;
    if (!PyUnicode_IS_ASCII(text)) return Ref::steal(PyObject_CallMethodNoArgs(text, n_lower));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Ref result = Ref::steal(PyUnicode_New(n, 127));
    if (!result) return {};
    const Py_UCS1 *from = PyUnicode_1BYTE_DATA(text);
    Py_UCS1 *to = PyUnicode_1BYTE_DATA(result.get());
    for (Py_ssize_t i = 0; i < n; ++i) to[i] = Py_TOLOWER(from[i]);
    same = std::memcmp(from, to, static_cast<std::size_t>(n)) == 0;
    return result;
}

// int(text[start:end]). Blanks, a sign and up to 18 ASCII digits are read here; anything
// else (underscores, other digits and blanks, errors) is left to int() itself.
Ref piece_to_int(PyObject *text, Py_ssize_t start, Py_ssize_t end) {
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
    auto blank = [&](Py_ssize_t i) { return at(i) < 128 && Py_ISSPACE(at(i)); };
    Py_ssize_t i = start;
    while (i < end && blank(i)) ++i;
    const bool negative = i < end && at(i) == '-';
    if (i < end && (at(i) == '-' || at(i) == '+')) ++i;
    const Py_ssize_t digits = i;
    long long value = 0;
    for (; i < end && i - digits < 18 && at(i) >= '0' && at(i) <= '9'; ++i) value = value * 10 + (at(i) - '0');
    const bool read = i > digits;
    while (i < end && blank(i)) ++i;
    if (read && i == end) return Ref::steal(PyLong_FromLongLong(negative ? -value : value));
    Ref piece = Ref::steal(PyUnicode_Substring(text, start, end));
    return piece ? Ref::steal(PyLong_FromUnicodeObject(piece.get(), 10)) : Ref();
}

// The index of the first ":" at or after `start`, or -1.
Py_ssize_t find_colon(PyObject *text, Py_ssize_t start) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    if (kind == PyUnicode_1BYTE_KIND) {
        const Py_UCS1 *chars = static_cast<const Py_UCS1 *>(data);
        const void *found = std::memchr(chars + start, ':', static_cast<std::size_t>(n - start));
        return found != nullptr ? static_cast<const Py_UCS1 *>(found) - chars : -1;
    }
    for (Py_ssize_t i = start; i < n; ++i)
        if (PyUnicode_READ(kind, data, i) == ':') return i;
    return -1;
}

// rw, rh = map(int, text.split(":")): pieces are converted lazily, so a third piece is
// converted (and may fail) before the unpacking fails.
bool parse_ratio(PyObject *text, Ref &rw, Ref &rh) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Ref values[3];
    Py_ssize_t start = 0;
    for (int count = 0; count < 3; ++count) {
        const Py_ssize_t colon = find_colon(text, start);
        const Py_ssize_t end = colon < 0 ? n : colon;
        if (!(values[count] = piece_to_int(text, start, end))) return false;
        if (colon < 0 && count == 1) {
            rw = std::move(values[0]);
            rh = std::move(values[1]);
            return true;
        }
        if (colon < 0 || count == 2) {
            // One value or three: the unpacking's own error.
            Ref got = Ref::steal(count == 0 ? PyTuple_Pack(1, values[0].get())
                                            : PyTuple_Pack(3, values[0].get(), values[1].get(), values[2].get()));
            Ref a, b;
            if (got) unpack2(got.get(), a, b, Unpack::short_form);
            return false;
        }
        start = colon + 1;
    }
    return false;
}

// ----- calc_size: steps before the loop -----

struct Request {
    PyObject *cls;
    PyObject *aspect_ratio;
    PyObject *resolution;  // lowered
    // Equal to `resolution`: the caller's string when lowering changed nothing, whose hash
    // is usually known already; an exact dict finds the same entry with either.
    PyObject *preset_key;
    bool strict;
};

// raise ServiceError("...", aspect_ratio=aspect_ratio); always false.
Py_NO_INLINE bool refuse_ratio(PyObject *aspect_ratio) {
    Ref factory = global(n_service_error);
    if (!factory) return false;
    Ref message = Ref::steal(PyUnicode_FromString(kRatioRefused));
    Ref keywords = Ref::steal(PyTuple_Pack(1, n_aspect_ratio.get()));
    if (!message || !keywords) return false;
    PyObject *args[] = {message.get(), aspect_ratio};
    Ref error = Ref::steal(PyObject_Vectorcall(factory.get(), args, 1, keywords.get()));
    if (error) raise(error.get());
    return false;
}

// target_pixels = cls.RESOLUTION_PRESET.get(resolution, cls.RESOLUTION_PRESET["2k"])
Ref preset_pixels(const Request &r, PyObject *preset) {
    Ref fallback = Ref::steal(PyObject_GetItem(preset, n_fallback_preset));
    if (!fallback) return {};
    if (PyObject *found = PyDict_GetItemWithError(preset, r.preset_key)) return Ref::borrow(found);
    return PyErr_Occurred() ? Ref() : fallback;
}

Ref target_through_objects(const Request &r) {
    Ref preset = class_attribute(r.cls, n_resolution_preset);
    Ref get = preset ? get_attr(preset.get(), n_get) : Ref();
    Ref table = get ? class_attribute(r.cls, n_resolution_preset) : Ref();
    Ref fallback = table ? Ref::steal(PyObject_GetItem(table.get(), n_fallback_preset)) : Ref();
    if (!fallback) return {};
    PyObject *args[] = {r.resolution, fallback.get()};
    return Ref::steal(PyObject_Vectorcall(get.get(), args, 2, nullptr));
}

// Steps 3 to 6 as Python runs them, for any ints.
bool ratio_and_target_through_objects(const Request &r, Ref rw, Ref rh, Ref &ratio, Ref &target) {
    ratio = Ref::steal(PyNumber_TrueDivide(rw.get(), rh.get()));
    if (!ratio) return false;
    Ref long_r = larger(rw.get(), rh.get());
    Ref short_r = long_r ? smaller(rw.get(), rh.get()) : Ref();
    Ref quotient = short_r ? Ref::steal(PyNumber_TrueDivide(long_r.get(), short_r.get())) : Ref();
    Ref max_ratio = quotient ? class_attribute(r.cls, n_max_ratio) : Ref();
    if (!max_ratio) return false;
    const int beyond = PyObject_RichCompareBool(quotient.get(), max_ratio.get(), Py_GT);
    if (beyond < 0) return false;
    if (beyond) {
        if (r.strict) return refuse_ratio(r.aspect_ratio);
        const int wide = PyObject_RichCompareBool(rw.get(), rh.get(), Py_GE);
        if (wide < 0) return false;
        Ref limit = class_attribute(r.cls, n_max_ratio);
        Ref product = limit ? Ref::steal(PyNumber_Multiply(limit.get(), short_r.get())) : Ref();
        Ref narrowed = product ? Ref::steal(PyNumber_Long(product.get())) : Ref();
        if (!narrowed) return false;
        rw = wide ? narrowed : short_r;
        rh = wide ? short_r : narrowed;
        ratio = Ref::steal(PyNumber_TrueDivide(rw.get(), rh.get()));
        if (!ratio) return false;
    }
    target = target_through_objects(r);
    return static_cast<bool>(target);
}

enum class Outcome { done, declined, failed };

bool exact_in_double(PyObject *value, long long &out) {
    return PyLong_CheckExact(value) && small_int(value, out) && out <= kExactInDouble && out >= -kExactInDouble;
}

// Steps 3 to 6 in C for sides exact in a double and a plain class, up to the preset lookup.
// Declined before anything observable happened, so the object path can start over; a zero
// division, a narrowing that leaves the range or a refusal in strict mode is declined too,
// and the object path raises what Python raises.
Outcome ratio_and_target_in_c(const Request &r, PyObject *rw_obj, PyObject *rh_obj, double &ratio, Ref &target) {
    const ClassFacts facts = class_facts(r.cls);
    long long rw, rh;
    if (!facts.has_limits || facts.preset == nullptr || !exact_in_double(rw_obj, rw) || !exact_in_double(rh_obj, rh) ||
        rh == 0) {
        return Outcome::declined;
    }
    const long long long_r = rh > rw ? rh : rw;
    const long long short_r = rh < rw ? rh : rw;
    if (short_r == 0) return Outcome::declined;
    const double limit = facts.limits.max_ratio;
    if (static_cast<double>(long_r) / static_cast<double>(short_r) > limit) {
        if (r.strict) return Outcome::declined;
        const double product = limit * static_cast<double>(short_r);
        if (!(std::fabs(product) < static_cast<double>(kExactInDouble))) return Outcome::declined;
        const long long narrowed = static_cast<long long>(product);
        const bool wide = rw >= rh;
        rw = wide ? narrowed : short_r;
        rh = wide ? short_r : narrowed;
        if (rh == 0) return Outcome::declined;
    }
    ratio = static_cast<double>(rw) / static_cast<double>(rh);
    // Held while the lookups run: a key's __eq__ could drop the class's reference.
    Ref preset = Ref::borrow(facts.preset);
    target = preset_pixels(r, preset.get());
    return target ? Outcome::done : Outcome::failed;
}

// Steps 7 and 8 as Python runs them: w and h from the target pixel count.
bool start_through_objects(PyObject *cls, PyObject *target, PyObject *ratio, Ref &w, Ref &h) {
    Ref min_pixels = class_attribute(cls, n_min_pixels);
    Ref max_pixels = min_pixels ? class_attribute(cls, n_max_pixels) : Ref();
    Ref capped = max_pixels ? smaller(target, max_pixels.get()) : Ref();
    Ref clamped = capped ? larger(min_pixels.get(), capped.get()) : Ref();
    Ref sqrt = clamped ? math_function(n_sqrt, math_sqrt_cache) : Ref();
    Ref product = sqrt ? Ref::steal(PyNumber_Multiply(clamped.get(), ratio)) : Ref();
    if (!product || !(w = call1(sqrt.get(), product.get()))) return false;
    h = Ref::steal(PyNumber_TrueDivide(w.get(), ratio));
    return static_cast<bool>(h);
}

// ----- calc_size: the corrective loop -----

// cls.MIN_PIXELS / current or cls.MAX_PIXELS / current under math.sqrt.
Ref root_of_share(PyObject *cls, const Name &limit_name, PyObject *current) {
    Ref sqrt = math_function(n_sqrt, math_sqrt_cache);
    Ref limit = sqrt ? class_attribute(cls, limit_name) : Ref();
    Ref share = limit ? Ref::steal(PyNumber_TrueDivide(limit.get(), current)) : Ref();
    return share ? call1(sqrt.get(), share.get()) : Ref();
}

// The scale of one pass that neither accepts nor floors; `floor` set when it floors.
Ref pass_scale(PyObject *cls, PyObject *w, PyObject *h, PyObject *current, bool &floor) {
    floor = false;
    Ref max_pixels = class_attribute(cls, n_max_pixels);
    const int over = max_pixels ? PyObject_RichCompareBool(current, max_pixels.get(), Py_GT) : -1;
    if (over < 0) return {};
    if (over) {
        Ref root = root_of_share(cls, n_max_pixels, current);
        Ref factor = Ref::steal(PyFloat_FromDouble(0.999));
        return root && factor ? Ref::steal(PyNumber_Multiply(root.get(), factor.get())) : Ref();
    }
    Ref long_e = larger(w, h);
    Ref max_edge = long_e ? class_attribute(cls, n_max_edge) : Ref();
    const int beyond = max_edge ? PyObject_RichCompareBool(long_e.get(), max_edge.get(), Py_GT) : -1;
    if (beyond < 0) return {};
    if (beyond) {
        Ref edge = class_attribute(cls, n_max_edge);
        return edge ? Ref::steal(PyNumber_TrueDivide(edge.get(), long_e.get())) : Ref();
    }
    Ref min_pixels = class_attribute(cls, n_min_pixels);
    const int under = min_pixels ? PyObject_RichCompareBool(current, min_pixels.get(), Py_LT) : -1;
    if (under < 0) return {};
    if (under) return root_of_share(cls, n_min_pixels, current);
    floor = true;
    return Ref::borrow(Py_None);
}

// The loop as Python runs it, from pass `first` on, for any values and overrides.
bool loop_through_objects(PyObject *cls, Ref &w, Ref &h, int first) {
    for (int pass = first; pass < kMaxLoop; ++pass) {
        Ref w_align = call_method(cls, n_round_to_multiple, w.get());
        Ref h_align = w_align ? call_method(cls, n_round_to_multiple, h.get()) : Ref();
        Ref current = h_align ? Ref::steal(PyNumber_Multiply(w_align.get(), h_align.get())) : Ref();
        Ref verdict = current ? call_method(cls, n_is_valid_image_size, w_align.get(), h_align.get()) : Ref();
        const int valid = verdict ? PyObject_IsTrue(verdict.get()) : -1;
        if (valid < 0) return false;
        if (valid) {
            w = std::move(w_align);
            h = std::move(h_align);
            return true;
        }
        bool floor;
        Ref scale = pass_scale(cls, w.get(), h.get(), current.get(), floor);
        if (!scale) return false;
        if (floor) {
            if (!(w = call_method(cls, n_floor_to_multiple, w.get()))) return false;
            if (!(h = call_method(cls, n_floor_to_multiple, h.get()))) return false;
        } else {
            if (!(w = Ref::steal(PyNumber_InPlaceMultiply(w.get(), scale.get())))) return false;
            if (!(h = Ref::steal(PyNumber_InPlaceMultiply(h.get(), scale.get())))) return false;
        }
    }
    return true;
}

// w or h as the loop holds it in C: a float, or an int from aligning (exact in a double).
struct Side {
    double value;
    bool is_int;
};

Ref side_object(Side s) {
    return Ref::steal(s.is_int ? PyLong_FromLongLong(static_cast<long long>(s.value)) : PyFloat_FromDouble(s.value));
}

// int(s)
Ref side_int(Side s) { return Ref::steal(PyLong_FromDouble(s.value)); }

bool in_loop_range(Side s) { return s.value >= 0.0 && s.value <= kMaxLoopSide; }

// The loop in C with the originals in place. Within the range every int stays below 2**53
// and every operation is the IEEE one Python performs, so each pass equals Python's. It
// returns the pass at which w or h left the range, or kMaxLoop when the loop is over.
int loop_in_c(const Limits &l, Side &w, Side &h) {
    for (int pass = 0; pass < kMaxLoop; ++pass) {
        if (!in_loop_range(w) || !in_loop_range(h)) return pass;
        const long long w_align = align(w.value, l.multiple, Align::round);
        const long long h_align = align(h.value, l.multiple, Align::round);
        const long long current = w_align * h_align;
        if (valid_in_c(w_align, h_align, l)) {
            w = {static_cast<double>(w_align), true};
            h = {static_cast<double>(h_align), true};
            break;
        }
        double scale;
        const Side long_e = h.value > w.value ? h : w;
        if (current > l.max_pixels) {
            scale = std::sqrt(static_cast<double>(l.max_pixels) / static_cast<double>(current)) * 0.999;
        } else if (long_e.value > static_cast<double>(l.max_edge)) {
            scale = static_cast<double>(l.max_edge) / long_e.value;
        } else if (current < l.min_pixels) {
            scale = std::sqrt(static_cast<double>(l.min_pixels) / static_cast<double>(current));
        } else {
            w = {static_cast<double>(align(w.value, l.multiple, Align::floor)), true};
            h = {static_cast<double>(align(h.value, l.multiple, Align::floor)), true};
            continue;
        }
        w = {w.value * scale, false};
        h = {h.value * scale, false};
    }
    return kMaxLoop;
}

// ----- calc_size: the result -----

// Writes the decimal digits of 0 <= value < 10**19 ending before `end`; returns the start.
char *decimal_digits(unsigned long long value, char *end) {
    do {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return end;
}

// f"{width}x{height}" of two ints.
Ref size_text(PyObject *width, PyObject *height) {
    long long w, h;
    if (!small_side(width, w) || !small_side(height, h) || w < 0 || h < 0)
        return Ref::steal(PyUnicode_FromFormat("%Sx%S", width, height));
    char text[48];
    char *end = text + sizeof text;
    char *start = decimal_digits(static_cast<unsigned long long>(h), end);
    *--start = 'x';
    start = decimal_digits(static_cast<unsigned long long>(w), start);
    Ref result = Ref::steal(PyUnicode_New(end - start, 127));
    if (result) std::memcpy(PyUnicode_1BYTE_DATA(result.get()), start, static_cast<std::size_t>(end - start));
    return result;
}

// The result dictionary; `limits` are the constants read before the C loop when no Python
// code has run since, so they still hold.
Ref result_dict(const Request &r, Ref width, Ref height, const Limits *limits = nullptr) {
    long long w, h;
    Ref pixels = Ref::steal(small_side(width.get(), w) && small_side(height.get(), h)
                                ? PyLong_FromLongLong(w * h)
                                : PyNumber_Multiply(width.get(), height.get()));
    Ref size = pixels ? size_text(width.get(), height.get()) : Ref();
    if (!size) return {};
    Ref valid;
    int in_c = -1;
    if (limits != nullptr) {
        in_c = validity_in_c(width.get(), height.get(), *limits);
    } else if (const ClassFacts facts = class_facts(r.cls); facts.has_limits && facts.originals) {
        in_c = validity_in_c(width.get(), height.get(), facts.limits);
    }
    if (in_c >= 0)
        valid = Ref::borrow(in_c ? Py_True : Py_False);
    else if (!(valid = call_method(r.cls, n_is_valid_image_size, width.get(), height.get())))
        return {};
    // A copy of the keys in order, each value then replaced: cheaper than inserting anew.
    Ref result = Ref::steal(PyDict_Copy(result_shape.get()));
    if (!result) return {};
    PyObject *values[] = {width.get(),    height.get(),  size.get(), pixels.get(),
                          r.aspect_ratio, r.resolution, valid.get()};
    for (std::size_t i = 0; i < std::size(result_keys); ++i)
        if (PyDict_SetItem(result.get(), *result_keys[i], values[i]) < 0) return {};
    return result;
}

// Steps 9 to 11 from w and h as objects.
Ref finish_through_objects(const Request &r, Ref w, Ref h, int first) {
    if (!loop_through_objects(r.cls, w, h, first)) return {};
    Ref width = Ref::steal(PyNumber_Long(w.get()));
    Ref height = width ? Ref::steal(PyNumber_Long(h.get())) : Ref();
    return height ? result_dict(r, std::move(width), std::move(height)) : Ref();
}

// Steps 7 to 11, from the target pixel count and the float `ratio` (null when only its
// value `quotient` is known). In C when the target and the constants are plain C values
// in range and the methods and math functions are the module's own; a domain error or a
// zero ratio is left to the object path, which raises it.
Ref size_from_target(const Request &r, PyObject *target, Ref ratio, double quotient) {
    const ClassFacts facts = class_facts(r.cls);
    long long pixels;
    if ((!ratio || PyFloat_CheckExact(ratio.get())) && PyLong_CheckExact(target) && small_int(target, pixels) &&
        facts.has_limits && facts.originals && math_is_original()) {
        const Limits &limits = facts.limits;
        const long long capped = limits.max_pixels < pixels ? limits.max_pixels : pixels;
        const long long clamped = capped > limits.min_pixels ? capped : limits.min_pixels;
        if (ratio) quotient = PyFloat_AS_DOUBLE(ratio.get());
        const double product = static_cast<double>(clamped) * quotient;
        if (product >= 0.0 && quotient != 0.0) {
            const double root = std::sqrt(product);
            Side w{root, false}, h{root / quotient, false};
            const int stopped = loop_in_c(limits, w, h);
            if (stopped == kMaxLoop) {
                Ref width = side_int(w);
                Ref height = width ? side_int(h) : Ref();
                return height ? result_dict(r, std::move(width), std::move(height), &limits) : Ref();
            }
            Ref w_obj = side_object(w);
            Ref h_obj = w_obj ? side_object(h) : Ref();
            return h_obj ? finish_through_objects(r, std::move(w_obj), std::move(h_obj), stopped) : Ref();
        }
    }
    if (!ratio && !(ratio = Ref::steal(PyFloat_FromDouble(quotient)))) return {};
    Ref w, h;
    if (!start_through_objects(r.cls, target, ratio.get(), w, h)) return {};
    return finish_through_objects(r, std::move(w), std::move(h), 0);
}

Ref calc_size(PyObject *cls, PyObject *aspect_ratio, PyObject *resolution_arg, bool strict) {
    bool same;
    Ref resolution = lowered(resolution_arg, same);
    Ref rw, rh;
    if (!resolution || !parse_ratio(aspect_ratio, rw, rh)) return {};
    const Request request{cls, aspect_ratio, resolution.get(), same ? resolution_arg : resolution.get(), strict};
    double quotient = 0.0;
    Ref ratio, target;
    const Outcome outcome = ratio_and_target_in_c(request, rw.get(), rh.get(), quotient, target);
    if (outcome == Outcome::failed) return {};
    if (outcome == Outcome::declined &&
        !ratio_and_target_through_objects(request, std::move(rw), std::move(rh), ratio, target)) {
        return {};
    }
    return size_from_target(request, target.get(), std::move(ratio), quotient);
}

constexpr Function calc_size_contract{
    .name = "calc_size",
    .kind = Kind::classmethod,
    .params = {{"cls"},
               {"aspect_ratio", Conv::str, "str", dflt::text("1:1")},
               {"resolution", Conv::str, "str", dflt::text("2k")},
               {"strict", Conv::truth, "bool", dflt::boolean(false)}},
    .doc = "\n"
           "        生成合规图像尺寸，严格限制总像素不超过8294400\n"
           "        Args:\n"
           "            aspect_ratio: 宽高比字符串，如 1:1 / 16:9 / 9:16 / 4:3 / 7:10\n"
           "            resolution: 档位 1k / 2k / 4k\n"
           "            strict: 是否严格校验 gpt-image-2 约束，默认 False（超限比例自动钳位到最近合法比例）；\n"
           "                    设为 True 时，超限比例直接抛出 ServiceError\n"
           "        Returns:\n"
           "            包含宽、高、尺寸字符串、总像素、比例、档位、是否合法的字典\n"
           "        ",
    .body = native<calc_size>(),
};

// ----- module -----

constexpr Member calculator_namespace[] = {
    constant("MIN_PIXELS", [] { return int_constant(655360); }),
    constant("MAX_PIXELS", [] { return int_constant(8294400); }),
    constant("MAX_EDGE", [] { return int_constant(3840); }),
    constant("MULTIPLE", [] { return int_constant(2); }),
    constant("MAX_RATIO", [] { return Ref::steal(PyFloat_FromDouble(3.0)); }),
    constant("RESOLUTION_PRESET", resolution_preset),
    def(init_contract),
    def(round_to_multiple_contract),
    def(floor_to_multiple_contract),
    def(is_valid_image_size_contract),
    def(calc_size_contract),
};

constexpr Class calculator = make_class("GPTImageSizeCalculator",
                                        "\n"
                                        "    gpt-image-2 尺寸计算器\n"
                                        "\n"
                                        "    功能：\n"
                                        "    - 根据 aspect_ratio + resolution 自动生成合法尺寸\n"
                                        "    - 自动满足约束：\n"
                                        "        * 最大边 <= 3840\n"
                                        "        * 宽高为16倍数\n"
                                        "        * 宽高比 <= 3:1\n"
                                        "        * 总像素 655360 ≤ pixels ≤ 8294400\n"
                                        "    ",
                                        calculator_namespace);

bool remember_originals() {
    Ref math = global(n_math);
    Ref cls = global(n_calculator);
    Ref round = global(n_round);
    if (!math || !cls || !round) return false;
    Ref sqrt = Ref::steal(PyObject_GetAttr(math.get(), n_sqrt));
    Ref floor = Ref::steal(PyObject_GetAttr(math.get(), n_floor));
    if (!sqrt || !floor) return false;
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls.get());
    original_math.keep(math.get());
    original_sqrt.keep(sqrt.get());
    original_floor.keep(floor.get());
    original_round_to_multiple.keep(_PyType_Lookup(type, n_round_to_multiple));
    original_floor_to_multiple.keep(_PyType_Lookup(type, n_floor_to_multiple));
    original_is_valid_image_size.keep(_PyType_Lookup(type, n_is_valid_image_size));
    builtin_round.keep(round.get());
    Ref shape = Ref::steal(PyDict_New());
    if (!shape) return false;
    for (const Name *key : result_keys)
        if (PyDict_SetItem(shape.get(), *key, Py_None) < 0) return false;
    result_shape.keep(shape.get());
    return true;
}

bool execute(Module &m) noexcept {
    return m.import("math") && m.import_from("pelvane", {"ServiceError"}) && m.add(calculator) &&
           remember_originals();
}

constexpr ModuleInfo tulvene{"carvola.tulvene", execute};

}  // namespace
}  // namespace carvola::tulvene

PyMODINIT_FUNC PyInit_tulvene() { return carvola::module_init(carvola::tulvene::tulvene); }
