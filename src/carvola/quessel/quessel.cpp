// carvola.quessel: ImageRatioAnalyzer, which reports an encoded image's width:height
// ratio in lowest terms and the closest ratio of two integers up to a search bound.
#include "attributes.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "handling.hpp"
#include "module.hpp"
#include "number.hpp"

#include <optional>
#include <utility>

namespace carvola::quessel {
namespace {

GlobalAttribute image_open{"Image"_n, "open"_n};

// ----- the size and the ratio text -----

// with BytesIO(image_bytes) as buf:
//     with Image.open(buf) as img:
//         width, height = img.size
// Image.open reads the header only; pixel data is never requested.
bool read_size(PyObject *image_bytes, Ref &width, Ref &height) {
    Ref bytes_io = global("BytesIO"_n);
    Ref buffer = bytes_io ? call(bytes_io.get(), image_bytes) : Ref{};
    if (!buffer) return false;
    const bool completed = with_block(buffer.get(), [&](PyObject *buf) {
        Ref open = image_open.get();
        Ref opened = open ? call(open.get(), buf) : Ref{};
        return opened && with_block(opened.get(), [&](PyObject *img) {
            Ref size = get_attr(img, "size"_n);
            Ref w, h;  // bound together or not at all, like an unpacking assignment
            if (!size || !unpack2(size.get(), w, h, Unpack::python)) return false;
            width = std::move(w);
            height = std::move(h);
            return true;
        });
    });
    // An __exit__ that suppressed the failure leaves the size unread.
    return completed && (width || raise_unbound_local("width"));
}

// f"{a}:{b}"; null when either is.
Ref ratio_text(const Ref &a, const Ref &b) { return a && b ? int_pair_text(a.get(), ':', b.get()) : Ref{}; }

// ----- __init__ -----

Ref analyzer_init(PyObject *self, PyObject *approx_search_range) {
    return set_attr(self, "approx_search_range"_n, approx_search_range) ? none() : Ref{};
}

constexpr Function init_contract{
    .name = "__init__",
    .params = {{"self"}, {"approx_search_range", Conv::integer, "int", dflt::integer<10>}},
    .doc = "\n"
           "        图片比例分析类\n"
           "        :param approx_search_range: 近似比例搜索整数范围，默认1~10\n"
           "        ",
    .body = native<analyzer_init>(),
};

// ----- _gcd -----

// while b:
//     a, b = b, a % b
// return a
template <typename N>
N euclid(N a, N b) {
    while (truth(b)) {
        N r = a % b;
        a = std::move(b);
        b = std::move(r);
    }
    return a;
}

// Machine numbers while both values are exact ints that a double holds, since the loop
// never leaves the range its inputs are in; Python objects otherwise.
Ref gcd(PyObject *a, PyObject *b) {
    return fast_or_general([&] { return euclid(Machine::of(a), Machine::of(b)).object(); },
                           [&] { return euclid(Object::of(a), Object::of(b)).object(); });
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
    Ref div = call_method(self, "_gcd"_n, width.get(), height.get());  // div = self._gcd(width, height)
    Ref w = div ? Ref::steal(PyNumber_FloorDivide(width.get(), div.get())) : Ref{};
    Ref h = w ? Ref::steal(PyNumber_FloorDivide(height.get(), div.get())) : Ref{};
    return ratio_text(w, h);
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

// for i in range(1, limit + 1):
//     for j in range(1, limit + 1):
//         error = abs(i / j - target)
//         if error < min_error: ...
// The pair whose error is strictly below every earlier one wins, so ties keep the first.
//
// Within a row i the quotient i/j falls as j grows (weakly, after rounding), so the error
// falls while the quotient is above the target and rises after: the row's smallest error
// is at the last j with a quotient above the target or at the one after it, and when it
// is at the former an equal error can only be met on the run of equal errors just before.
// That crossing never moves back as i grows, since a quotient above the target stays above
// it for a larger i, so one walk over j finds it for every row; the run is bisected.
// Comparing rows in order with the strict test settles on the pair the loop settles on.

// abs(i / j - target), an error.
Machine error_of(Machine i, Machine j, Machine target) { return abs(i / j - target); }
Object error_of(const Object &i, const Object &j, const Object &target) { return abs(i / j - target); }

// x // 2 of an int.
Machine half(Machine x) { return machine_floor(x / Machine::integer(2)); }
Object half(const Object &x) { return Object(PyNumber_FloorDivide(x.get(), Object::integer(2).get())); }

// f"{best_w}:{best_h}" of the winning pair, or of width and height when no error was below
// infinity. A target the quotients cannot be ordered against (a complex one, say) takes
// the plain loop. Ctrl-C stops a long search with Failed and KeyboardInterrupt set.
template <typename N>
Ref closest_ratio(const N &target, const N &limit, bool ordered, const Ref &width, const Ref &height) {
    const N one = N::integer(1);
    N min_error = N::infinity();
    std::optional<std::pair<N, N>> best;
    unsigned long steps = 0;
    auto step = [&] {
        if ((++steps & 1023) == 0 && PyErr_CheckSignals() < 0) throw Failed{};
    };
    // if error < min_error: min_error = error; best_w, best_h = i, j
    auto consider = [&](const N &i, const N &j) {
        step();
        N error = error_of(i, j, target);
        if (!truth(lt(error, min_error))) return false;
        min_error = std::move(error);
        best = {i, j};
        return true;
    };
    N after = one;  // the first j whose quotient i / j is not above the target
    for (N i = one; truth(le(i, limit)); i = i + one) {
        if (!ordered) {
            for (N j = one; truth(le(j, limit)); j = j + one) consider(i, j);
            continue;
        }
        for (; truth(le(after, limit)) && truth(gt(i / after, target)); after = after + one) step();
        // Of the row only the last j above the target and the first not above can win. A
        // pair that wins moves to the start of its run of errors as small, where the loop met
        // it: errors fall towards it, so the run is bisected while the j before ties.
        auto as_small = [&](const N &k) { return truth(le(error_of(i, k, target), min_error)); };
        if (truth(gt(after, one)) && consider(i, after - one)) {
            N &j = best->second;
            for (N low = one; truth(lt(low, j)) && as_small(j - one);) {
                N mid = half(low + j);
                if (as_small(mid))
                    j = std::move(mid);
                else
                    low = mid + one;
            }
        }
        if (truth(le(after, limit))) consider(i, after);
    }
    return best ? ratio_text(best->first.object(), best->second.object()) : ratio_text(width, height);
}

// isinstance(target, numbers.Real): whether quotients and the target are ordered, as the
// row search needs. Floats and ints answer without importing numbers.
bool is_real(PyObject *target) {
    if (PyFloat_Check(target) || PyLong_Check(target)) return true;
    Ref numbers = Ref::steal(PyImport_ImportModule("numbers"));
    Ref real = numbers ? get_attr(numbers.get(), "Real"_n) : Ref{};
    const int real_number = real ? PyObject_IsInstance(target, real.get()) : -1;
    return real_number >= 0 ? real_number : throw Failed{};
}

Ref get_approx_simple_ratio(PyObject *self, PyObject *image_bytes) {
    Ref width, height;
    if (!read_size(image_bytes, width, height)) return {};
    Ref target = Ref::steal(PyNumber_TrueDivide(width.get(), height.get()));
    Ref limit = target ? get_attr(self, "approx_search_range"_n) : Ref{};
    if (!limit) return {};
    // Machine numbers first; Python objects when a value leaves their range.
    auto on_machine = [&] {
        const Machine machine_limit = Machine::of(limit.get());
        if (!machine_limit.is_int()) throw Failed{};
        return closest_ratio(Machine::of(target.get()), machine_limit, true, width, height);
    };
    return fast_or_general(on_machine, [&] {
        // range(1, limit + 1) takes the index of its stop.
        const Object one = Object::integer(1);
        const Object bound = Object(PyNumber_Index((Object::of(limit.get()) + one).get())) - one;
        return closest_ratio(Object::of(target.get()), bound, is_real(target.get()), width, height);
    });
}

constexpr Function approx_contract{
    .name = "get_approx_simple_ratio",
    .params = {{"self"}, {"image_bytes", Conv::bytes, "bytes"}},
    .returns = Ret::str,
    .return_annotation = "str",
    .doc =
        "\n"
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

constexpr const char *analyzer_doc =
    "\n"
    "    图片比例分析工具。\n"
    "\n"
    "    提供两种比例获取方式：\n"
    "    - get_raw_simple_ratio: 获取图片真实最简宽高比（精确值）\n"
    "    - get_approx_simple_ratio: 自动拟合近似简单整数比例（如 2:3、16:9）\n"
    "    ";

constexpr Class image_ratio_analyzer = make_class("ImageRatioAnalyzer", analyzer_doc, analyzer_namespace);

bool execute(Module &m) noexcept {
    return m.import_from<"BytesIO">("io") && m.import_from<"Image">("PIL") && m.add(image_ratio_analyzer);
}

constexpr ModuleInfo quessel{"carvola.quessel", execute};

}  // namespace
}  // namespace carvola::quessel

PyMODINIT_FUNC PyInit_quessel() { return carvola::module_init(carvola::quessel::quessel); }
