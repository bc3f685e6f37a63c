// carvola.brennic: ImageTool, which snaps an image's width:height proportion to the
// nearest of ten standard ratios, parses ratio strings and widens encoded images.
#include "errors.hpp"
#include "module.hpp"
#include "numbers.hpp"

#include <cmath>
#include <initializer_list>
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
Name n_image{"Image"};
Name n_open{"open"};
Name n_convert{"convert"};
Name n_size{"size"};
Name n_width{"width"};
Name n_height{"height"};
Name n_mode{"mode"};
Name n_format{"format"};
Name n_resize{"resize"};
Name n_resampling{"Resampling"};
Name n_lanczos{"LANCZOS"};
Name n_new{"new"};
Name n_paste{"paste"};
Name n_mask{"mask"};
Name n_save{"save"};
Name n_quality{"quality"};
Name n_seek{"seek"};
Name n_getvalue{"getvalue"};
Name n_get_closest{"_get_closest_standard_ratio"};
Name n_rgba{"RGBA"};
Name n_png{"PNG"};
Name n_fill{"fill"};

// The objects the fast paths compare against: while `re`, `re.match` and
// ImageTool._parse_ratio are still these, ratio strings are scanned natively.
Retained original_re;
Retained original_match;
Retained original_parse_ratio;

// Keyword names of the two Pillow calls that take keyword arguments.
Retained paste_keywords;  // ("mask",)
Retained save_keywords;   // ("format", "quality")

AttributeCache re_match_cache;
AttributeCache math_inf_cache;

constexpr const char *kRatioPattern = "(\\d+):(\\d+)";

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

bool is_decimal(Py_UCS4 c) { return c < 128 ? c >= '0' && c <= '9' : Py_UNICODE_ISDECIMAL(c) != 0; }

// Where re.match("(\d+):(\d+)", text.strip()) finds its two groups: \d is
// str.isdecimal(), and strip() removes only characters that are neither digits nor ":".
struct RatioScan {
    bool matched = false;
    Py_ssize_t w_start = 0, w_end = 0, h_start = 0, h_end = 0;
};

RatioScan scan_ratio(PyObject *text) {
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    RatioScan scan;
    Py_ssize_t i = 0;
    while (i < n && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) ++i;
    scan.w_start = i;
    while (i < n && is_decimal(PyUnicode_READ(kind, data, i))) ++i;
    scan.w_end = i;
    if (scan.w_end == scan.w_start || i == n || PyUnicode_READ(kind, data, i) != ':') return scan;
    scan.h_start = ++i;
    while (i < n && is_decimal(PyUnicode_READ(kind, data, i))) ++i;
    scan.h_end = i;
    scan.matched = scan.h_end > scan.h_start;
    return scan;
}

// The value of a run of at most 18 ASCII digits; false for anything longer or wider.
bool small_digits(PyObject *text, Py_ssize_t start, Py_ssize_t end, long long &value) {
    if (end - start > 18) return false;
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    value = 0;
    for (Py_ssize_t i = start; i < end; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<long long>(c - '0');
    }
    return true;
}

// int() of the digits text[start:end].
Ref digits_to_int(PyObject *text, Py_ssize_t start, Py_ssize_t end) {
    long long value;
    if (small_digits(text, start, end, value)) return Ref::steal(PyLong_FromLongLong(value));
    Ref digits = Ref::steal(PyUnicode_Substring(text, start, end));
    if (!digits) return {};
    return Ref::steal(PyLong_FromUnicodeObject(digits.get(), 10));
}

Py_NO_INLINE Ref raise_ratio_format(PyObject *ratio_str) {
    Ref head = Ref::steal(PyUnicode_FromString("比例格式错误 "));
    Ref tail = Ref::steal(PyUnicode_FromString("，示例：3:4"));
    if (!head || !tail) return {};
    Ref message = Ref::steal(PyUnicode_Concat(head.get(), ratio_str));
    if (message) message = Ref::steal(PyUnicode_Concat(message.get(), tail.get()));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return {};
}

// 1 while the module global `re` and its `match` are the ones imported, 0 when either was
// replaced, -1 on error.
int re_is_original() {
    Ref re = global(n_re);
    if (!re) return -1;
    if (re.get() != original_re.get()) return 0;
    Ref match = module_attribute(re.get(), n_match, re_match_cache);
    if (!match) return -1;
    return match.get() == original_match.get() ? 1 : 0;
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

// The same statements through whatever the module global `re` now is.
Ref parse_with_re(PyObject *ratio_str) {
    Ref re = global(n_re);
    if (!re) return {};
    Ref match_fn = Ref::steal(PyObject_GetAttr(re.get(), n_match));
    if (!match_fn) return {};
    Ref pattern = Ref::steal(PyUnicode_FromString(kRatioPattern));
    Ref stripped = Ref::steal(PyObject_CallMethodNoArgs(ratio_str, n_strip));
    if (!pattern || !stripped) return {};
    Ref match = Ref::steal(PyObject_CallFunctionObjArgs(match_fn.get(), pattern.get(), stripped.get(), nullptr));
    if (!match) return {};
    const int matched = PyObject_IsTrue(match.get());
    if (matched < 0) return {};
    if (matched == 0) return raise_ratio_format(ratio_str);
    Ref sides[2];
    for (long group = 1; group <= 2; ++group) {
        Ref index = Ref::steal(PyLong_FromLong(group));
        if (!index) return {};
        Ref digits = Ref::steal(PyObject_CallMethodOneArg(match.get(), n_group, index.get()));
        if (!digits) return {};
        sides[group - 1] = Ref::steal(PyNumber_Long(digits.get()));
        if (!sides[group - 1]) return {};
    }
    return Ref::steal(PyTuple_Pack(2, sides[0].get(), sides[1].get()));
}

Ref parse_ratio(PyObject *ratio_str) {
    const int original = re_is_original();
    if (original < 0) return {};
    return original ? parse_scanned(ratio_str) : parse_with_re(ratio_str);
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

bool is_blank(PyObject *text) {
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i)
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return false;
    return true;
}

constexpr long long kExactInDouble = 1LL << 53;

// `w, h = self._parse_ratio(r)` then `w / h`, without the call, when `parse` is the
// original static method and the outcome is a plain success: digits short enough for C
// values, a non-zero height. Everything else takes the real call, so its errors and
// traceback are the call's own.
bool quotient_of_original_parse(PyObject *parse, PyObject *r, Ref &quotient) {
    if (parse != original_parse_ratio.get() || !PyUnicode_CheckExact(r)) return false;
    const int original = re_is_original();
    if (original <= 0) {
        if (original < 0) PyErr_Clear();  // the real call meets the same error again
        return false;
    }
    const RatioScan scan = scan_ratio(r);
    long long w, h;
    if (!scan.matched || !small_digits(r, scan.w_start, scan.w_end, w) || !small_digits(r, scan.h_start, scan.h_end, h) ||
        h == 0 || w > kExactInDouble || h > kExactInDouble) {
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
    Ref parsed = Ref::steal(PyObject_Vectorcall(parse.get(), &r, 1, nullptr));
    Ref w, h;
    if (!parsed || !unpack2(parsed.get(), w, h, Unpack::python)) return {};
    return Ref::steal(PyNumber_TrueDivide(w.get(), h.get()));
}

Ref image_tool_init(PyObject *self, PyObject *proportion, PyObject *need_adjust, PyObject *fill_color,
                    PyObject *kwargs) {
    PyObject *stored = proportion != Py_None && is_blank(proportion) ? Py_None : proportion;
    if (PyObject_SetAttr(self, n_proportion, stored) < 0 || PyObject_SetAttr(self, n_need_adjust, need_adjust) < 0 ||
        PyObject_SetAttr(self, n_fill_color, fill_color) < 0 || PyObject_SetAttr(self, n_kwargs, kwargs) < 0) {
        return {};
    }
    Ref ratio_map = Ref::steal(PyDict_New());
    if (!ratio_map || PyObject_SetAttr(self, n_std_ratio_map, ratio_map.get()) < 0) return {};

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
    return Ref::borrow(Py_None);
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

// width / height of two ints when Python computes it in doubles: both sides within 2**53
// (so exactly representable) and a non-zero height. false leaves it to the number protocol.
bool small_quotient(PyObject *a, PyObject *b, double &quotient) {
    long long x, y;
    if (!small_int(a, x) || !small_int(b, y) || y == 0 || x > kExactInDouble || x < -kExactInDouble ||
        y > kExactInDouble || y < -kExactInDouble) {
        return false;
    }
    quotient = static_cast<double>(x) / static_cast<double>(y);
    return true;
}

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

// The loop in doubles, which runs no Python code: comparing floats is comparing doubles.
// false when the map is not an exact dict of exact floats.
bool closest_in_doubles(PyObject *ratio_map, double img_ratio, double min_diff, Ref &best) {
    const RatioMapCache &cache = ratio_map_cache;
    if (!PyDict_CheckExact(ratio_map)) return false;
    if (cache.version != dict_version(ratio_map) && !cache_ratio_map(ratio_map)) return false;
    PyObject *best_key = nullptr;
    for (Py_ssize_t i = 0; i < cache.count; ++i) {
        const double diff = std::fabs(img_ratio - cache.values[i]);
        if (diff < min_diff) {
            min_diff = diff;
            best_key = cache.keys[i];
        }
    }
    if (best_key != nullptr) best = Ref::borrow(best_key);
    return true;
}

// The same loop through the number protocol, for maps holding anything.
Ref closest_in_objects(PyObject *ratio_map, PyObject *img_ratio, Ref min_diff, Ref best) {
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(ratio_map, n_items));
    if (!items) return {};
    Ref iter = Ref::steal(PyObject_GetIter(items.get()));
    if (!iter) return {};
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        Ref ratio_str, std_val;
        if (!unpack2(item.get(), ratio_str, std_val, Unpack::python)) return {};
        Ref delta = Ref::steal(PyNumber_Subtract(img_ratio, std_val.get()));
        if (!delta) return {};
        Ref diff = Ref::steal(PyNumber_Absolute(delta.get()));
        if (!diff) return {};
        const int less = PyObject_RichCompareBool(diff.get(), min_diff.get(), Py_LT);
        if (less < 0) return {};
        if (less) {
            min_diff = std::move(diff);
            best = std::move(ratio_str);
        }
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

// callable(*args); the last len(kwnames) items of `args` are the keyword arguments' values.
Ref call(PyObject *callable, std::initializer_list<PyObject *> args, PyObject *kwnames = nullptr) {
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    return Ref::steal(PyObject_Vectorcall(callable, args.begin(), static_cast<Py_ssize_t>(args.size()) - keywords, kwnames));
}

// args[0].name(*args[1:]), for calls whose arguments are already evaluated.
Ref call_method(PyObject *name, std::initializer_list<PyObject *> args, PyObject *kwnames = nullptr) {
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    return Ref::steal(
        PyObject_VectorcallMethod(name, args.begin(), static_cast<Py_ssize_t>(args.size()) - keywords, kwnames));
}

// int(side * scale)
Ref scaled(PyObject *side, PyObject *scale) {
    Ref product = Ref::steal(PyNumber_Multiply(side, scale));
    if (!product) return {};
    return Ref::steal(PyNumber_Long(product.get()));
}

// The widened size: the shorter side scaled, both sides of a square. "resize" asks
// `h > w` then `w > h`, "fill" asks `w < h` then `h < w`; both orders are kept, since
// which operand's comparison runs first is Python-visible.
bool widen(PyObject *w, PyObject *h, PyObject *scale, bool fill, Ref &new_w, Ref &new_h) {
    new_w = Ref::borrow(w);
    new_h = Ref::borrow(h);
    const int portrait = fill ? PyObject_RichCompareBool(w, h, Py_LT) : PyObject_RichCompareBool(h, w, Py_GT);
    if (portrait < 0) return false;
    if (portrait) return bool(new_w = scaled(w, scale));
    const int landscape = fill ? PyObject_RichCompareBool(h, w, Py_LT) : PyObject_RichCompareBool(w, h, Py_GT);
    if (landscape < 0) return false;
    if (landscape) return bool(new_h = scaled(h, scale));
    return (new_w = scaled(w, scale)) && (new_h = scaled(h, scale));
}

// Image.open(img_io).convert("RGBA")
Ref decode_rgba(PyObject *img_io) {
    Ref image = global(n_image);
    if (!image) return {};
    Ref opened = call_method(n_open, {image.get(), img_io});
    if (!opened) return {};
    return call_method(n_convert, {opened.get(), n_rgba});
}

// img.resize((expand_w, expand_h), Image.Resampling.LANCZOS)
Ref stretched(PyObject *img, PyObject *ori_w, PyObject *ori_h, PyObject *expand_scale) {
    Ref expand_w, expand_h;
    if (!widen(ori_w, ori_h, expand_scale, false, expand_w, expand_h)) return {};
    Ref resize = get_attr(img, n_resize);
    if (!resize) return {};
    Ref size = Ref::steal(PyTuple_Pack(2, expand_w.get(), expand_h.get()));
    if (!size) return {};
    Ref image = global(n_image);
    if (!image) return {};
    Ref resampling = get_attr(image.get(), n_resampling);
    if (!resampling) return {};
    Ref lanczos = get_attr(resampling.get(), n_lanczos);
    if (!lanczos) return {};
    return call(resize.get(), {size.get(), lanczos.get()});
}

// (canvas_side - img_side) // 2: floor division, so an odd margin leaves the extra pixel
// on the right or bottom and a negative one rounds toward minus infinity.
Ref centred(PyObject *canvas_side, PyObject *img_side) {
    Ref margin = Ref::steal(PyNumber_Subtract(canvas_side, img_side));
    if (!margin) return {};
    Ref two = Ref::steal(PyLong_FromLong(2));
    if (!two) return {};
    return Ref::steal(PyNumber_FloorDivide(margin.get(), two.get()));
}

// Image.new("RGBA", (canvas_w, canvas_h), self.fill_color)
Ref new_canvas(PyObject *self, PyObject *canvas_w, PyObject *canvas_h) {
    Ref image = global(n_image);
    if (!image) return {};
    Ref new_image = get_attr(image.get(), n_new);
    if (!new_image) return {};
    Ref canvas_size = Ref::steal(PyTuple_Pack(2, canvas_w, canvas_h));
    if (!canvas_size) return {};
    Ref fill_color = get_attr(self, n_fill_color);
    if (!fill_color) return {};
    return call(new_image.get(), {n_rgba, canvas_size.get(), fill_color.get()});
}

// A canvas of the widened size in the fill colour with `img` pasted in its centre through
// its own alpha, so transparent pixels leave the fill colour showing.
Ref padded(PyObject *self, PyObject *img, PyObject *ori_w, PyObject *ori_h, PyObject *expand_scale) {
    Ref canvas_w, canvas_h;
    if (!widen(ori_w, ori_h, expand_scale, true, canvas_w, canvas_h)) return {};
    Ref img_w = get_attr(img, n_width);
    if (!img_w) return {};
    Ref img_h = get_attr(img, n_height);
    if (!img_h) return {};
    Ref canvas = new_canvas(self, canvas_w.get(), canvas_h.get());
    if (!canvas) return {};

    Ref paste_x = centred(canvas_w.get(), img_w.get());
    if (!paste_x) return {};
    Ref paste_y = centred(canvas_h.get(), img_h.get());
    if (!paste_y) return {};
    Ref paste = get_attr(canvas.get(), n_paste);
    if (!paste) return {};
    Ref box = Ref::steal(PyTuple_Pack(2, paste_x.get(), paste_y.get()));
    if (!box) return {};
    Ref mode = get_attr(img, n_mode);
    if (!mode) return {};
    const int has_alpha = PyObject_RichCompareBool(mode.get(), n_rgba, Py_EQ);
    if (has_alpha < 0) return {};
    Ref pasted = call(paste.get(), {img, box.get(), has_alpha ? img : Py_None}, paste_keywords.get());
    if (!pasted) return {};
    return canvas;
}

// 1 when the instance asks for a proportion other than the image's closest one, so the
// input goes back untouched; 0 when the image is adjusted; -1 on error.
int keeps_input(PyObject *self, PyObject *ori_closest_ratio) {
    Ref proportion = get_attr(self, n_proportion);
    if (!proportion) return -1;
    if (proportion.get() == Py_None) return 0;
    proportion = get_attr(self, n_proportion);
    if (!proportion) return -1;
    // Python's `!=`: PyObject_RichCompareBool would take any object as equal to itself (a NaN too).
    Ref differs = Ref::steal(PyObject_RichCompare(proportion.get(), ori_closest_ratio, Py_NE));
    if (!differs) return -1;
    return PyObject_IsTrue(differs.get());
}

// 1 when self.need_adjust == mode, 0 when not, -1 on error.
int mode_is(PyObject *self, PyObject *mode) {
    Ref need_adjust = get_attr(self, n_need_adjust);
    if (!need_adjust) return -1;
    return PyObject_RichCompareBool(need_adjust.get(), mode, Py_EQ);
}

Py_NO_INLINE Ref raise_unknown_mode() {
    PyErr_SetString(PyExc_ValueError, "need_adjust 仅支持 resize / fill");
    return {};
}

// resized_img encoded as img.format, or PNG when the image has none (a converted image
// never has one).
Ref encoded(PyObject *img, PyObject *resized_img) {
    Ref bytes_io = global(n_bytes_io);
    if (!bytes_io) return {};
    Ref out_io = call(bytes_io.get(), {});
    if (!out_io) return {};
    Ref img_format = get_attr(img, n_format);
    if (!img_format) return {};
    const int has_format = PyObject_IsTrue(img_format.get());
    if (has_format < 0) return {};
    if (!has_format) img_format = Ref::borrow(n_png);
    Ref quality = Ref::steal(PyLong_FromLong(95));
    if (!quality) return {};
    Ref saved = call_method(n_save, {resized_img, out_io.get(), img_format.get(), quality.get()}, save_keywords.get());
    if (!saved) return {};
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return {};
    Ref rewound = call_method(n_seek, {out_io.get(), zero.get()});
    if (!rewound) return {};
    return call_method(n_getvalue, {out_io.get()});
}

// The input bytes read back from the stream, with the requested proportion when asked.
Ref untouched(PyObject *self, PyObject *img_io, bool return_origin_ratio) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return {};
    Ref rewound = call_method(n_seek, {img_io, zero.get()});
    if (!rewound) return {};
    Ref origin_bytes = call_method(n_getvalue, {img_io});
    if (!origin_bytes || !return_origin_ratio) return origin_bytes;
    Ref proportion = get_attr(self, n_proportion);
    if (!proportion) return {};
    return Ref::steal(PyTuple_Pack(2, origin_bytes.get(), proportion.get()));
}

Ref adjust_size(PyObject *self, PyObject *image_bytes, bool return_origin_ratio, double expand_percent) {
    Ref expand_scale = Ref::steal(PyFloat_FromDouble(expand_percent / 100.0 + 1.0));
    if (!expand_scale) return {};
    Ref bytes_io = global(n_bytes_io);
    if (!bytes_io) return {};
    Ref img_io = call(bytes_io.get(), {image_bytes});
    if (!img_io) return {};
    // Decoded in full on every path: bytes Pillow cannot read fail here whatever follows.
    Ref img = decode_rgba(img_io.get());
    if (!img) return {};
    Ref size = get_attr(img.get(), n_size);
    if (!size) return {};
    Ref ori_w, ori_h;
    if (!unpack2(size.get(), ori_w, ori_h, Unpack::python)) return {};
    Ref ori_closest_ratio = call_method(n_get_closest, {self, ori_w.get(), ori_h.get()});
    if (!ori_closest_ratio) return {};

    const int keep = keeps_input(self, ori_closest_ratio.get());
    if (keep < 0) return {};
    if (keep) return untouched(self, img_io.get(), return_origin_ratio);

    Ref resized_img;
    const int resize = mode_is(self, n_resize);
    if (resize < 0) return {};
    if (resize) {
        resized_img = stretched(img.get(), ori_w.get(), ori_h.get(), expand_scale.get());
    } else {
        const int fill = mode_is(self, n_fill);
        if (fill < 0) return {};
        if (!fill) return raise_unknown_mode();
        resized_img = padded(self, img.get(), ori_w.get(), ori_h.get(), expand_scale.get());
    }
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

bool remember_originals() {
    Ref re = global(n_re);
    Ref cls = global(n_image_tool);
    if (!re || !cls) return false;
    Ref match = Ref::steal(PyObject_GetAttr(re.get(), n_match));
    Ref parse = Ref::steal(PyObject_GetAttr(cls.get(), n_parse_ratio));
    if (!match || !parse) return false;
    original_re.keep(re.get());
    original_match.keep(match.get());
    original_parse_ratio.keep(parse.get());
    return true;
}

bool make_keyword_names() {
    Ref paste = Ref::steal(PyTuple_Pack(1, n_mask.get()));
    Ref save = Ref::steal(PyTuple_Pack(2, n_format.get(), n_quality.get()));
    if (!paste || !save) return false;
    paste_keywords.keep(paste.get());
    save_keywords.keep(save.get());
    return true;
}

bool execute(Module &m) noexcept {
    return m.import_from("io", {"BytesIO"}) && m.import_from("typing", {"Optional", "Tuple"}) &&
           m.import_from("PIL", {"Image"}) && m.import("re") && m.import("math") && m.add(image_tool) &&
           remember_originals() && make_keyword_names();
}

constexpr ModuleInfo brennic{"carvola.brennic", execute};

}  // namespace
}  // namespace carvola::brennic

PyMODINIT_FUNC PyInit_brennic() { return carvola::module_init(carvola::brennic::brennic); }
