// carvola.quessel: ImageRatioAnalyzer, which reports an encoded image's width:height
// ratio in lowest terms and the closest ratio of two integers up to a search bound.
#include "attributes.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "handling.hpp"
#include "module.hpp"
#include "numbers.hpp"

#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>

namespace carvola::quessel {
namespace {

Name n_bytes_io{"BytesIO"};
Name n_image{"Image"};
Name n_open{"open"};
Name n_size{"size"};
Name n_gcd{"_gcd"};
Name n_approx_search_range{"approx_search_range"};

AttributeCache image_open_cache;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// ----- the size and the ratio text -----

// with BytesIO(image_bytes) as buf:
//     with Image.open(buf) as img:
//         width, height = img.size
// Image.open reads the header only; pixel data is never requested.
bool read_size(PyObject *image_bytes, Ref &width, Ref &height) {
    Ref bytes_io = global(n_bytes_io);
    if (!bytes_io) return false;
    Ref buffer = call(bytes_io.get(), image_bytes);
    if (!buffer) return false;
    const bool completed = with_block(buffer.get(), [&](PyObject *buf) {
        Ref image = global(n_image);
        if (!image) return false;
        Ref open = module_attribute(image.get(), n_open, image_open_cache);
        if (!open) return false;
        Ref opened = call(open.get(), buf);
        if (!opened) return false;
        return with_block(opened.get(), [&](PyObject *img) {
            Ref size = get_attr(img, n_size);
            Ref w, h;  // bound together or not at all, like an unpacking assignment
            if (!size || !unpack2(size.get(), w, h, Unpack::python)) return false;
            width = std::move(w);
            height = std::move(h);
            return true;
        });
    });
    if (!completed) return false;
    // An __exit__ that suppressed the failure leaves the size unread.
    return width ? true : raise_unbound_local("width");
}

// f"{a}:{b}" of two machine ints.
Ref pair_text(long long a, long long b) {
    char text[48];
    const int n = std::snprintf(text, sizeof text, "%lld:%lld", a, b);
    return Ref::steal(PyUnicode_FromStringAndSize(text, n));
}

// f"{a}:{b}" of two ints.
Ref ratio_text(PyObject *a, PyObject *b) {
    long long x, y;
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b) && small_int(a, x) && small_int(b, y)) return pair_text(x, y);
    return Ref::steal(PyUnicode_FromFormat("%S:%S", a, b));
}

// ----- __init__ -----

Ref analyzer_init(PyObject *self, PyObject *approx_search_range) {
    if (!set_attr(self, n_approx_search_range, approx_search_range)) return {};
    return none();
}

constexpr Function init_contract{
    .name = "__init__",
    .params = {{"self"}, {"approx_search_range", Conv::integer, "int", dflt::integer(10)}},
    .doc = "\n"
           "        图片比例分析类\n"
           "        :param approx_search_range: 近似比例搜索整数范围，默认1~10\n"
           "        ",
    .body = native<analyzer_init>(),
};

// ----- _gcd -----

// a % b with Python's sign rule, and bool(b), for the two number types Euclid runs on:
// machine ints of magnitude below 2**62, where no step can overflow, and Python ints.
bool remainder(long long a, long long b, long long &r) {
    r = a % b;
    if (r != 0 && (r < 0) != (b < 0)) r += b;
    return true;
}
int nonzero(long long b) { return b != 0; }

bool remainder(const Ref &a, const Ref &b, Ref &r) {
    r = Ref::steal(PyNumber_Remainder(a.get(), b.get()));
    return static_cast<bool>(r);
}
int nonzero(const Ref &b) { return truth(b.get()); }

// while b:
//     a, b = b, a % b
// return a
// false with an error set.
template <typename N>
bool euclid(N &a, N b) {
    for (int more; (more = nonzero(b)) != 0;) {
        N r;
        if (more < 0 || !remainder(a, b, r)) return false;
        a = std::move(b);
        b = std::move(r);
    }
    return true;
}

constexpr long long kMachineBound = 1LL << 62;

// The value of an int of magnitude below 2**62; false for anything else.
bool machine_int(PyObject *value, long long &out) {
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value, &overflow);
    return overflow == 0 && out < kMachineBound && out > -kMachineBound;
}

// Machine words while both values fit; Python ints from the start otherwise, since the
// loop never leaves the range its inputs are in.
Ref gcd(PyObject *a, PyObject *b) {
    long long x, y;
    if (machine_int(a, x) && machine_int(b, y)) {
        euclid(x, y);
        return Ref::steal(PyLong_FromLongLong(x));
    }
    Ref g = Ref::borrow(a);
    if (!euclid(g, Ref::borrow(b))) return {};
    return g;
}

constexpr Function gcd_contract{
    .name = "_gcd",
    .kind = Kind::staticmethod,
    .params = {{"a", Conv::integer, "int"}, {"b", Conv::integer, "int"}},
    .returns = Ret::integer,
    .return_annotation = "int",
    .doc = "计算最大公约数",
    .body = native<gcd>(),
};

// ----- get_raw_simple_ratio -----

Ref get_raw_simple_ratio(PyObject *self, PyObject *image_bytes) {
    Ref width, height;
    if (!read_size(image_bytes, width, height)) return {};
    Ref gcd_method = get_attr(self, n_gcd);
    if (!gcd_method) return {};
    Ref div = call(gcd_method.get(), width.get(), height.get());
    if (!div) return {};
    Ref w = Ref::steal(PyNumber_FloorDivide(width.get(), div.get()));
    if (!w) return {};
    Ref h = Ref::steal(PyNumber_FloorDivide(height.get(), div.get()));
    if (!h) return {};
    return ratio_text(w.get(), h.get());
}

constexpr Function raw_contract{
    .name = "get_raw_simple_ratio",
    .params = {{"self"}, {"image_bytes", Conv::bytes, "bytes"}},
    .returns = Ret::str,
    .return_annotation = "str",
    .doc = "\n"
           "        获取图片真实最简宽高比，不做近似。\n"
           "\n"
           "        Args:\n"
           "            image_bytes: 图片二进制数据\n"
           "\n"
           "        Returns:\n"
           "            最简比例字符串，如 \"16:9\"\n"
           "        ",
    .body = native<get_raw_simple_ratio>(),
};

// ----- get_approx_simple_ratio -----

// The search: for i, then j, in 1..limit, error = |i / j - target|, and the pair whose
// error is strictly below every earlier one wins, so ties keep the first pair.

// The search in doubles, for a float target and a limit of at most 2**53, where every
// quotient and error is exactly the float Python computes. Within a row i the quotient
// i/j falls as j grows (weakly, after rounding), so the error falls while the quotient
// is above the target and rises after: the row's smallest error is at the last j with a
// quotient above the target or at the one after it, and when it is at the former an
// equal error can only be met on the run of equal errors just before. So each row's
// first pair with its smallest error is found by bisection, and comparing rows in order
// with the strict test settles on the pair the whole loop settles on.

// The last j in 1..limit whose quotient numerator/j is above the target, 0 when none.
long long last_above(double numerator, double target, long long limit) {
    auto above = [&](long long j) { return numerator / static_cast<double>(j) > target; };
    // The guess from numerator/target is nearly always right; a wrong one is bisected.
    const double estimate = numerator / target;
    long long guess = 0;  // a NaN target, or a target of infinity
    if (estimate < 0 || estimate >= static_cast<double>(limit))
        guess = limit;
    else if (estimate > 0)
        guess = static_cast<long long>(std::ceil(estimate)) - 1;
    if ((guess == 0 || above(guess)) && (guess == limit || !above(guess + 1))) return guess;
    long long low = 0, high = limit;
    while (low < high) {
        const long long mid = low + (high - low + 1) / 2;
        if (above(mid))
            low = mid;
        else
            high = mid - 1;
    }
    return low;
}

// false with an exception set when a signal handler raised; `found` false when no error
// was below infinity.
bool closest_pair_in_doubles(double target, long long limit, long long &best_w, long long &best_h, bool &found) {
    double min_error = kInfinity;
    found = false;
    for (long long i = 1; i <= limit; ++i) {
        if ((i & 1023) == 0 && PyErr_CheckSignals() < 0) return false;  // Ctrl-C stops a long search
        const double numerator = static_cast<double>(i);
        auto error = [&](long long j) { return std::fabs(numerator / static_cast<double>(j) - target); };
        const long long above = last_above(numerator, target, limit);
        long long row_j = 0;
        double row_error = kInfinity;
        if (above < limit) {
            row_j = above + 1;
            row_error = error(row_j);
        }
        if (above >= 1) {
            const double above_error = error(above);
            if (row_j == 0 || above_error <= row_error) {
                row_error = above_error;
                long long first = above;  // the first j whose error is above_error
                if (above > 1 && error(above - 1) <= above_error) {
                    long long low = 1;
                    while (low < first) {
                        const long long mid = low + (first - low) / 2;
                        if (error(mid) <= above_error)
                            first = mid;
                        else
                            low = mid + 1;
                    }
                }
                row_j = first;
            }
        }
        if (row_error < min_error) {
            min_error = row_error;
            best_w = i;
            best_h = row_j;
            found = true;
        }
    }
    return true;
}

// range(1, limit + 1)
Ref search_range(PyObject *limit, PyObject *one) {
    Ref stop = Ref::steal(PyNumber_Add(limit, one));
    if (!stop) return {};
    Ref range = call(reinterpret_cast<PyObject *>(&PyRange_Type), one, stop.get());
    if (!range) return {};
    return Ref::steal(PyObject_GetIter(range.get()));
}

// The same loop through the number protocol, for any target and limit.
bool closest_pair_in_objects(PyObject *target, PyObject *limit, Ref &best_w, Ref &best_h) {
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref min_error = Ref::steal(PyFloat_FromDouble(kInfinity));
    if (!one || !min_error) return false;
    Ref rows = search_range(limit, one.get());
    if (!rows) return false;
    unsigned tick = 0;
    while (Ref i = Ref::steal(PyIter_Next(rows.get()))) {
        Ref columns = search_range(limit, one.get());
        if (!columns) return false;
        while (Ref j = Ref::steal(PyIter_Next(columns.get()))) {
            if ((++tick & 255) == 0 && PyErr_CheckSignals() < 0) return false;
            Ref current = Ref::steal(PyNumber_TrueDivide(i.get(), j.get()));
            if (!current) return false;
            Ref difference = Ref::steal(PyNumber_Subtract(current.get(), target));
            if (!difference) return false;
            Ref error = Ref::steal(PyNumber_Absolute(difference.get()));
            if (!error) return false;
            const int less = PyObject_RichCompareBool(error.get(), min_error.get(), Py_LT);
            if (less < 0) return false;
            if (less) {
                min_error = std::move(error);
                best_w = i;
                best_h = std::move(j);
            }
        }
        if (PyErr_Occurred()) return false;
    }
    return !PyErr_Occurred();
}

Ref get_approx_simple_ratio(PyObject *self, PyObject *image_bytes) {
    Ref width, height;
    if (!read_size(image_bytes, width, height)) return {};
    double quotient = 0.0;
    Ref target;  // made only when the quotient is not a plain double division
    const bool small = small_quotient(width.get(), height.get(), quotient);
    if (!small) {
        target = Ref::steal(PyNumber_TrueDivide(width.get(), height.get()));
        if (!target) return {};
    }
    Ref limit = get_attr(self, n_approx_search_range);
    if (!limit) return {};

    if (PyLong_CheckExact(limit.get()) && (small || PyFloat_CheckExact(target.get()))) {
        int overflow = 0;
        const long long bound = PyLong_AsLongLongAndOverflow(limit.get(), &overflow);
        if (overflow < 0 || (overflow == 0 && bound < 1)) return ratio_text(width.get(), height.get());
        if (overflow == 0 && bound <= kExactInDouble) {
            long long w = 0, h = 0;
            bool found = false;
            if (!closest_pair_in_doubles(small ? quotient : PyFloat_AS_DOUBLE(target.get()), bound, w, h, found))
                return {};
            if (!found) return ratio_text(width.get(), height.get());
            return pair_text(w, h);
        }
    }
    if (small) {
        target = Ref::steal(PyFloat_FromDouble(quotient));
        if (!target) return {};
    }
    Ref best_w = width, best_h = height;
    if (!closest_pair_in_objects(target.get(), limit.get(), best_w, best_h)) return {};
    return ratio_text(best_w.get(), best_h.get());
}

constexpr Function approx_contract{
    .name = "get_approx_simple_ratio",
    .params = {{"self"}, {"image_bytes", Conv::bytes, "bytes"}},
    .returns = Ret::str,
    .return_annotation = "str",
    .doc = "\n"
           "        自动拟合近似简单整数比例，无预设标准比例池。\n"
           "\n"
           "        遍历 1~approx_search_range 范围内的整数组合，\n"
           "        找到与图片实际比例最接近的简单整数比。\n"
           "\n"
           "        Args:\n"
           "            image_bytes: 图片二进制数据\n"
           "\n"
           "        Returns:\n"
           "            近似比例字符串，如 \"2:3\"、\"16:9\"\n"
           "        ",
    .body = native<get_approx_simple_ratio>(),
};

// ----- module -----

constexpr Member analyzer_namespace[] = {
    def(init_contract),
    def(gcd_contract),
    def(raw_contract),
    def(approx_contract),
};

constexpr const char *analyzer_doc = "\n"
                                     "    图片比例分析工具。\n"
                                     "\n"
                                     "    提供两种比例获取方式：\n"
                                     "    - get_raw_simple_ratio: 获取图片真实最简宽高比（精确值）\n"
                                     "    - get_approx_simple_ratio: 自动拟合近似简单整数比例（如 2:3、16:9）\n"
                                     "    ";

constexpr Class image_ratio_analyzer = make_class("ImageRatioAnalyzer", analyzer_doc, analyzer_namespace);

bool execute(Module &m) noexcept {
    return m.import_from("io", {"BytesIO"}) && m.import_from("PIL", {"Image"}) && m.add(image_ratio_analyzer);
}

constexpr ModuleInfo quessel{"carvola.quessel", execute};

}  // namespace
}  // namespace carvola::quessel

PyMODINIT_FUNC PyInit_quessel() { return carvola::module_init(carvola::quessel::quessel); }
