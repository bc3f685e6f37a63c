// carvola.brennic: ImageTool, which snaps an image's width:height proportion to the
// nearest of ten standard ratios, parses ratio strings and widens encoded images.
#include "attributes.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "guard.hpp"
#include "module.hpp"
#include "numbers.hpp"
#include "steps.hpp"

#include <cmath>
#include <iterator>

namespace carvola::brennic {
namespace {

Name n_re{"re"};
Name n_match{"match"};
Name n_group{"group"};
Name n_strip{"strip"};
Name n_items{"items"};
Name n_math{"math"};
Name n_inf{"inf"};
Name n_standard_ratio_list{"STANDARD_RATIO_LIST"};
Name n_std_ratio_map{"_std_ratio_map"};
Name n_parse_ratio{"_parse_ratio"};
Name n_proportion{"proportion"};
Name n_need_adjust{"need_adjust"};
Name n_fill_color{"fill_color"};
Name n_kwargs{"kwargs"};
Name n_image_tool{"ImageTool"};
Name n_bytes_io{"BytesIO"};
Name n_size{"size"};
Name n_get_closest{"_get_closest_standard_ratio"};
Text ratio_pattern{"(\\d+):(\\d+)"};

// Ratio strings are scanned natively while re.match is the one imported, and __init__
// skips the call of _parse_ratio while the class's is the original.
Guard re_match{n_re, n_match};
Guard original_parse_ratio{n_image_tool, n_parse_ratio};

AttributeCache math_inf_cache;

// ----- class constants -----

Ref standard_ratio_list() {
    static constexpr const char *ratios[] = {"1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"};
    Ref list = Ref::steal(PyList_New(std::size(ratios)));
    if (!list) return {};
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(std::size(ratios)); ++i) {
        PyObject *item = PyUnicode_FromString(ratios[i]);
        if (item == nullptr) return {};
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list;
}

// ----- ratio strings -----

// ValueError(f"比例格式错误 {ratio_str}，示例：3:4")
Py_NO_INLINE Ref raise_ratio_format(PyObject *ratio_str) {
    Ref message = prefixed("比例格式错误 ", ratio_str);
    Ref tail = Ref::steal(PyUnicode_FromString("，示例：3:4"));
    if (message && tail) message = Ref::steal(PyUnicode_Concat(message.get(), tail.get()));
    if (message && tail) PyErr_SetObject(PyExc_ValueError, message.get());
    return {};
}

Ref parse_scanned(PyObject *ratio_str) {
    const RatioScan scan = scan_ratio(ratio_str);
    if (!scan.matched) return raise_ratio_format(ratio_str);
    Ref w = digits_to_int(ratio_str, scan.w_start, scan.w_end);
    if (!w) return {};
    Ref h = digits_to_int(ratio_str, scan.h_start, scan.h_end);
    if (!h) return {};
    return Ref::steal(PyTuple_Pack(2, w.get(), h.get()));
}

// m = re.match(r"(\d+):(\d+)", ratio_str.strip())
// if not m: raise ValueError(...)
// return int(m.group(1)), int(m.group(2))
// through whatever the module global `re` now is.
Ref parse_with_re(PyObject *ratio_str) {
    Ref re = global(n_re);
    if (!re) return {};
    Ref match_fn = get_attr(re.get(), n_match);
    if (!match_fn) return {};
    Ref stripped = call_method(ratio_str, n_strip);
    if (!stripped) return {};
    Ref match = call(match_fn.get(), ratio_pattern.get(), stripped.get());
    if (!match) return {};
    const int matched = truth(match.get());
    if (matched < 0) return {};
    if (matched == 0) return raise_ratio_format(ratio_str);
    Ref sides[2];
    for (long group = 1; group <= 2; ++group) {
        Ref index = Ref::steal(PyLong_FromLong(group));
        if (!index) return {};
        Ref digits = call_method(match.get(), n_group, index.get());
        if (!digits) return {};
        sides[group - 1] = Ref::steal(PyNumber_Long(digits.get()));
        if (!sides[group - 1]) return {};
    }
    return Ref::steal(PyTuple_Pack(2, sides[0].get(), sides[1].get()));
}

Ref parse_ratio(PyObject *ratio_str) {
    const int native = re_match.holds();
    if (native < 0) return {};
    return native ? parse_scanned(ratio_str) : parse_with_re(ratio_str);
}

constexpr Function parse_ratio_contract{
    .name = "_parse_ratio",
    .kind = Kind::staticmethod,
    .params = {{"ratio_str", Conv::str, "str"}},
    .return_annotation = "Tuple[int, int]",
    .doc = "解析 3:4 -> (3,4)",
    .body = native<parse_ratio>(),
};

// ----- __init__ -----

// `w, h = self._parse_ratio(r)` then `w / h`, without the call, when `parse` is the
// original static method and the outcome is a plain success: digits short enough for C
// values, a non-zero height. Everything else takes the real call, so its errors and
// traceback are the call's own.
bool quotient_of_original_parse(PyObject *parse, PyObject *r, Ref &quotient) {
    if (!original_parse_ratio.is(parse) || !PyUnicode_CheckExact(r)) return false;
    const int native = re_match.holds();
    if (native <= 0) {
        if (native < 0) PyErr_Clear();  // the real call meets the same error again
        return false;
    }
    const RatioScan scan = scan_ratio(r);
    long long w, h;
    if (!scan.matched || !small_digits(r, scan.w_start, scan.w_end, w) ||
        !small_digits(r, scan.h_start, scan.h_end, h) || h == 0 || w > kExactInDouble || h > kExactInDouble) {
        return false;
    }
    quotient = Ref::steal(PyFloat_FromDouble(static_cast<double>(w) / static_cast<double>(h)));
    return true;
}

Ref parsed_quotient(PyObject *self, PyObject *r) {
    Ref parse = get_attr(self, n_parse_ratio);
    if (!parse) return {};
    Ref quotient;
    if (quotient_of_original_parse(parse.get(), r, quotient)) return quotient;
    Ref parsed = call(parse.get(), r);
    Ref w, h;
    if (!parsed || !unpack2(parsed.get(), w, h, Unpack::python)) return {};
    return Ref::steal(PyNumber_TrueDivide(w.get(), h.get()));
}

Ref image_tool_init(PyObject *self, PyObject *proportion, PyObject *need_adjust, PyObject *fill_color,
                    PyObject *kwargs) {
    PyObject *stored = proportion != Py_None && is_blank(proportion) ? Py_None : proportion;
    if (!set_attr(self, n_proportion, stored) || !set_attr(self, n_need_adjust, need_adjust) ||
        !set_attr(self, n_fill_color, fill_color) || !set_attr(self, n_kwargs, kwargs)) {
        return {};
    }
    Ref ratio_map = Ref::steal(PyDict_New());
    if (!ratio_map || !set_attr(self, n_std_ratio_map, ratio_map.get())) return {};

    Ref ratios = get_attr(self, n_standard_ratio_list);
    if (!ratios) return {};
    Ref iter = Ref::steal(PyObject_GetIter(ratios.get()));
    if (!iter) return {};
    while (Ref r = Ref::steal(PyIter_Next(iter.get()))) {
        Ref value = parsed_quotient(self, r.get());
        if (!value) return {};
        Ref target = get_attr(self, n_std_ratio_map);
        if (!target || PyObject_SetItem(target.get(), r.get(), value.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return none();
}

constexpr Function init_contract{
    .name = "__init__",
    .params = {{"self"},
               {"proportion", Conv::str, "Optional[str]", dflt::none},
               {"need_adjust", Conv::str, "str", dflt::text("fill")},
               {"fill_color", Conv::object, nullptr, dflt::ints(255, 255, 255, 0)}},
    .var_keywords = true,
    .doc = "\n"
           "        :param proportion: 目标比例 \"3:4\"/\"1:1\"/\"\"空字符串/None\n"
           "        :param need_adjust: resize / fill\n"
           "        :param fill_color: 填充背景色 RGBA，默认透明\n"
           "        ",
    .body = native<image_tool_init>(),
};

// ----- _get_closest_standard_ratio -----

// obj[0]
Ref first_item(PyObject *obj) {
    if (PyList_CheckExact(obj) && PyList_GET_SIZE(obj) > 0) return Ref::borrow(PyList_GET_ITEM(obj, 0));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return {};
    return Ref::steal(PyObject_GetItem(obj, zero.get()));
}

// The last ratio map met, held as doubles while the dict keeps its version.
struct RatioMapCache {
    static constexpr Py_ssize_t kCapacity = 32;
    uint64_t version = 0;
    Py_ssize_t count = 0;
    PyObject *keys[kCapacity] = {};  // borrowed from the dict
    double values[kCapacity] = {};
};

RatioMapCache ratio_map_cache;

// Fills the cache from an exact dict of exact floats; false (cache left empty) otherwise.
bool cache_ratio_map(PyObject *ratio_map) {
    RatioMapCache &cache = ratio_map_cache;
    cache.version = 0;
    if (!PyDict_CheckExact(ratio_map) || PyDict_GET_SIZE(ratio_map) > RatioMapCache::kCapacity) return false;
    Py_ssize_t pos = 0, count = 0;
    PyObject *key, *value;
    while (PyDict_Next(ratio_map, &pos, &key, &value)) {
        if (!PyFloat_CheckExact(value)) return false;
        cache.keys[count] = key;
        cache.values[count++] = PyFloat_AS_DOUBLE(value);
    }
    cache.count = count;
    cache.version = dict_version(ratio_map);
    return true;
}

// abs(a - b) < limit, as 1, 0 or -1 with an error set, in doubles or through the number
// protocol. Float subtraction, abs() and < are exactly these double operations.
int closer(double a, double b, double limit, double &diff) {
    diff = std::fabs(a - b);
    return diff < limit;
}

int closer(PyObject *a, const Ref &b, const Ref &limit, Ref &diff) {
    Ref delta = Ref::steal(PyNumber_Subtract(a, b.get()));
    if (!delta) return -1;
    diff = Ref::steal(PyNumber_Absolute(delta.get()));
    if (!diff) return -1;
    return PyObject_RichCompareBool(diff.get(), limit.get(), Py_LT);
}

// The body of
//     for ratio_str, std_val in self._std_ratio_map.items():
//         diff = abs(img_ratio - std_val)
//         if diff < min_diff:
//             min_diff, best = diff, ratio_str
// for one entry: false with an error set. N is double for a float map and a float
// target, Ref for anything else; Key is a borrowed PyObject* or a Ref to match.
template <typename Key, typename Target, typename N>
bool consider(const Key &ratio_str, Target img_ratio, const N &std_val, N &min_diff, Key &best) {
    N diff{};
    const int less = closer(img_ratio, std_val, min_diff, diff);
    if (less > 0) {
        min_diff = std::move(diff);
        best = ratio_str;
    }
    return less >= 0;
}

// The loop over the cached doubles of an exact dict of exact floats, which runs no Python
// code; false when the map is anything else.
bool closest_in_doubles(PyObject *ratio_map, double img_ratio, double min_diff, Ref &best) {
    const RatioMapCache &cache = ratio_map_cache;
    if (!PyDict_CheckExact(ratio_map)) return false;
    if (cache.version != dict_version(ratio_map) && !cache_ratio_map(ratio_map)) return false;
    PyObject *best_key = nullptr;
    for (Py_ssize_t i = 0; i < cache.count; ++i)
        consider(cache.keys[i], img_ratio, cache.values[i], min_diff, best_key);
    if (best_key != nullptr) best = Ref::borrow(best_key);
    return true;
}

// The same loop over ratio_map.items(), whatever the map holds.
Ref closest_in_objects(PyObject *ratio_map, PyObject *img_ratio, Ref min_diff, Ref best) {
    Ref items = call_method(ratio_map, n_items);
    if (!items) return {};
    Ref iter = Ref::steal(PyObject_GetIter(items.get()));
    if (!iter) return {};
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        Ref ratio_str, std_val;
        if (!unpack2(item.get(), ratio_str, std_val, Unpack::python)) return {};
        if (!consider(ratio_str, img_ratio, std_val, min_diff, best)) return {};
    }
    if (PyErr_Occurred()) return {};
    return best;
}

Ref get_closest_standard_ratio(PyObject *self, PyObject *width, PyObject *height) {
    double quotient = 0.0;
    Ref img_ratio;  // made only when the quotient is not a plain double division
    const bool small = small_quotient(width, height, quotient);
    if (!small) {
        img_ratio = Ref::steal(PyNumber_TrueDivide(width, height));
        if (!img_ratio) return {};
    }
    Ref math = global(n_math);
    if (!math) return {};
    Ref min_diff = module_attribute(math.get(), n_inf, math_inf_cache);
    if (!min_diff) return {};
    Ref ratios = get_attr(self, n_standard_ratio_list);
    if (!ratios) return {};
    Ref best = first_item(ratios.get());
    if (!best) return {};
    Ref ratio_map = get_attr(self, n_std_ratio_map);
    if (!ratio_map) return {};
    if (PyFloat_CheckExact(min_diff.get()) && (small || PyFloat_CheckExact(img_ratio.get()))) {
        const double value = small ? quotient : PyFloat_AS_DOUBLE(img_ratio.get());
        if (closest_in_doubles(ratio_map.get(), value, PyFloat_AS_DOUBLE(min_diff.get()), best)) return best;
    }
    if (small) {
        img_ratio = Ref::steal(PyFloat_FromDouble(quotient));
        if (!img_ratio) return {};
    }
    return closest_in_objects(ratio_map.get(), img_ratio.get(), std::move(min_diff), std::move(best));
}

constexpr Function closest_contract{
    .name = "_get_closest_standard_ratio",
    .params = {{"self"}, {"width", Conv::integer, "int"}, {"height", Conv::integer, "int"}},
    .returns = Ret::str,
    .return_annotation = "str",
    .doc = "计算原图宽高，匹配 STANDARD_RATIO_LIST 中最接近的标准比例字符串",
    .body = native<get_closest_standard_ratio>(),
};

// ----- adjust_size -----

Ref adjust_size(PyObject *self, PyObject *image_bytes, bool return_origin_ratio, double expand_percent) {
    Ref expand_scale = Ref::steal(PyFloat_FromDouble(expand_percent / 100.0 + 1.0));
    if (!expand_scale) return {};
    Ref bytes_io = global(n_bytes_io);
    if (!bytes_io) return {};
    Ref img_io = call(bytes_io.get(), image_bytes);
    if (!img_io) return {};
    // Decoded in full on every path: bytes Pillow cannot read fail here whatever follows.
    Ref img = decode_rgba(img_io.get());
    if (!img) return {};
    Ref size = get_attr(img.get(), n_size);
    if (!size) return {};
    Ref ori_w, ori_h;
    if (!unpack2(size.get(), ori_w, ori_h, Unpack::python)) return {};
    Ref ori_closest_ratio = call_method(self, n_get_closest, ori_w.get(), ori_h.get());
    if (!ori_closest_ratio) return {};

    const int keep = keeps_input(self, ori_closest_ratio.get());
    if (keep < 0) return {};
    if (keep) return untouched(self, img_io.get(), return_origin_ratio);

    Ref resized_img = widened(self, img.get(), ori_w.get(), ori_h.get(), expand_scale.get());
    if (!resized_img) return {};
    Ref result_bytes = encoded(img.get(), resized_img.get());
    if (!result_bytes || !return_origin_ratio) return result_bytes;
    return Ref::steal(PyTuple_Pack(2, result_bytes.get(), ori_closest_ratio.get()));
}

constexpr Function adjust_size_contract{
    .name = "adjust_size",
    .params = {{"self"},
               {"image_bytes", Conv::bytes, "bytes"},
               {"return_origin_ratio", Conv::truth, "bool", dflt::boolean(false)},
               {"expand_percent", Conv::real, "float", dflt::real(10.0)}},
    .doc = "\n"
           "        调整图片尺寸\n"
           "        1. proportion存在有效值：\n"
           "           - 若与原图最接近标准比例不一致 → 直接返回原图不处理\n"
           "           - 若一致 → 反转比例后执行resize/fill，生成对应比例画布填充\n"
           "        2. proportion=\"\" / None 且 need_adjust=\"fill\"：\n"
           "           - 仅最小边按百分比放大，不使用任何比例画布，输出尺寸=放大后图片尺寸\n"
           "        3. proportion=\"\" / None 且 need_adjust=\"resize\"：沿用原有逻辑\n"
           "        :param expand_percent: 放大百分比，传数字 10 代表放大10%，传0不缩放，负数缩小\n"
           "        ",
    .body = native<adjust_size>(),
};

// ----- module -----

constexpr Member image_tool_namespace[] = {
    constant("STANDARD_RATIO_LIST", standard_ratio_list),
    def(init_contract),
    def(parse_ratio_contract),
    def(closest_contract),
    def(adjust_size_contract),
};

constexpr Class image_tool = make_class("ImageTool", nullptr, image_tool_namespace);

bool execute(Module &m) noexcept {
    return m.import_from("io", {"BytesIO"}) && m.import_from("typing", {"Optional", "Tuple"}) &&
           m.import_from("PIL", {"Image"}) && m.import("re") && m.import("math") && m.add(image_tool);
}

constexpr ModuleInfo brennic{"carvola.brennic", execute};

}  // namespace
}  // namespace carvola::brennic

PyMODINIT_FUNC PyInit_brennic() { return carvola::module_init(carvola::brennic::brennic); }
