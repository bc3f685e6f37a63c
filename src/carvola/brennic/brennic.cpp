// carvola.brennic: ImageTool, which snaps an image's width:height proportion to the
// nearest of ten standard ratios, parses ratio strings and widens encoded images.
#include "attributes.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "guard.hpp"
#include "handling.hpp"
#include "image.hpp"
#include "module.hpp"
#include "number.hpp"

#include <cmath>
#include <type_traits>
#include <utility>

namespace carvola::brennic {
namespace {

// Ratio strings are scanned natively while re.match is the one imported, and __init__
// runs the body of _parse_ratio without a call while the class's is the original.
Guard re_match{"re"_n, "match"_n};
Guard original_parse_ratio{"ImageTool"_n, "_parse_ratio"_n};

GlobalAttribute math_inf{"math"_n, "inf"_n}, image_open{"Image"_n, "open"_n};

Ref standard_ratio_list() {
    return Ref::steal(Py_BuildValue("[ssssssssss]", "1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9",
                                    "21:9"));
}

bool is_decimal(Py_UCS4 c) { return c < 128 ? c >= '0' && c <= '9' : Py_UNICODE_ISDECIMAL(c) != 0; }

// The two groups of re.match(r"(\d+):(\d+)", text.strip()) on an exact str: \d is
// str.isdecimal(), and strip() removes only characters that are neither digits nor ":".
// false when nothing matches.
bool scan_ratio(PyObject *text, Py_ssize_t (&start)[2], Py_ssize_t (&end)[2]) {
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Py_ssize_t i = 0;
    while (i < n && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) ++i;
    for (int side = 0; side < 2; ++side) {
        if (side == 1 && (i == n || PyUnicode_READ(kind, data, i++) != ':')) return false;
        start[side] = i;
        while (i < n && is_decimal(PyUnicode_READ(kind, data, i))) ++i;
        if ((end[side] = i) == start[side]) return false;
    }
    return true;
}

// m = re.match(r"(\d+):(\d+)", ratio_str.strip())
// if not m: raise ValueError(...)
// w, h = int(m.group(1)), int(m.group(2))
// scanned natively while re.match is the original, else through the module global `re`.
bool ratio_sides(PyObject *ratio_str, Ref &w, Ref &h) {
    const int native = re_match.holds();
    if (native < 0) return false;
    Py_ssize_t start[2], end[2];
    Ref match;
    if (!native) {
        Ref match_fn = re_match.get();
        Ref stripped = match_fn ? call_method(ratio_str, "strip"_n) : Ref();
        match = stripped ? call(match_fn.get(), "(\\d+):(\\d+)"_t.get(), stripped.get()) : Ref();
    }
    const int matched = native ? scan_ratio(ratio_str, start, end) : match ? truth(match.get()) : -1;
    if (matched == 0) {
        // raise ValueError(f"比例格式错误 {ratio_str}，示例：3:4")
        Ref message = Ref::steal(PyUnicode_FromFormat("%s%U%s", "比例格式错误 ", ratio_str, "，示例：3:4"));
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    }
    if (matched <= 0) return false;
    Ref *sides[2] = {&w, &h};
    for (int side = 0; side < 2; ++side) {
        // int(m.group(side + 1))
        if (native) {
            *sides[side] = decimal_int(ratio_str, start[side], end[side]);
        } else {
            Ref index = Ref::steal(PyLong_FromLong(side + 1));
            Ref group = index ? call_method(match.get(), "group"_n, index.get()) : Ref();
            *sides[side] = group ? Ref::steal(PyNumber_Long(group.get())) : Ref();
        }
        if (!*sides[side]) return false;
    }
    return true;
}

// return w, h
Ref parse_ratio(PyObject *ratio_str) {
    Ref w, h;
    return ratio_sides(ratio_str, w, h) ? Ref::steal(PyTuple_Pack(2, w.get(), h.get())) : Ref();
}

constexpr Function parse_ratio_contract{
    .name = "_parse_ratio",
    .kind = Kind::staticmethod,
    .params = {{"ratio_str", Conv::str, "str"}},
    .return_annotation = "Tuple[int, int]",
    .doc = "解析 3:4 -> (3,4)",
    .body = native<parse_ratio>(),
};

// w, h = self._parse_ratio(r); w / h
// running the original's body directly, without the tuple, when the argument needs no
// conversion.
Ref parsed_quotient(PyObject *self, PyObject *r) {
    Ref parse = get_attr(self, "_parse_ratio"_n);
    if (!parse) return {};
    Ref w, h;
    if (original_parse_ratio.is(parse.get()) && PyUnicode_CheckExact(r)) {
        if (!call_direct<ratio_sides>(parse_ratio_contract, r, w, h)) return {};
    } else if (Ref parsed = call(parse.get(), r); !parsed || !unpack2(parsed.get(), w, h, Unpack::python)) {
        return {};
    }
    return Ref::steal(PyNumber_TrueDivide(w.get(), h.get()));
}

Ref image_tool_init(PyObject *self, PyObject *proportion, PyObject *need_adjust, PyObject *fill_color,
                    PyObject *kwargs) {
    // isinstance(proportion, str) and proportion.strip() == ""
    bool blank = proportion != Py_None;
    for (Py_ssize_t i = 0, n = blank ? PyUnicode_GET_LENGTH(proportion) : 0; i < n && blank; ++i)
        blank = Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(proportion, i));
    if (!set_attr(self, "proportion"_n, blank ? Py_None : proportion) ||
        !set_attr(self, "need_adjust"_n, need_adjust) || !set_attr(self, "fill_color"_n, fill_color) ||
        !set_attr(self, "kwargs"_n, kwargs)) {
        return {};
    }
    Ref ratio_map = Ref::steal(PyDict_New());
    if (!ratio_map || !set_attr(self, "_std_ratio_map"_n, ratio_map.get())) return {};

    // for r in self.STANDARD_RATIO_LIST: self._std_ratio_map[r] = w / h
    Ref ratios = get_attr(self, "STANDARD_RATIO_LIST"_n);
    const bool filled = ratios && for_each(ratios.get(), [&](Ref r) {
        Ref value = parsed_quotient(self, r.get());
        Ref target = value ? get_attr(self, "_std_ratio_map"_n) : Ref();
        return target && PyObject_SetItem(target.get(), r.get(), value.get()) == 0;
    });
    return filled ? none() : Ref();
}

constexpr Function init_contract{
    .name = "__init__",
    .params = {{"self"},
               {"proportion", Conv::str, "Optional[str]", dflt::none},
               {"need_adjust", Conv::str, "str", dflt::text<"fill">},
               {"fill_color", Conv::object, nullptr, dflt::ints<255, 255, 255, 0>}},
    .var_keywords = true,
    .doc = "\n"
           "        :param proportion: 目标比例 \"3:4\"/\"1:1\"/\"\"空字符串/None\n"
           "        :param need_adjust: resize / fill\n"
           "        :param fill_color: 填充背景色 RGBA，默认透明\n"
           "        ",
    .body = native<image_tool_init>(),
};

// The items of the last ratio map met, an exact dict of Machines, while the dict keeps its
// version: walking the dict on every call costs the bench target a third of the call.
struct RatioMapCache {
    static constexpr Py_ssize_t kCapacity = 32;
    uint64_t version = 0;
    Py_ssize_t count = 0;
    std::pair<PyObject *, Machine> entries[kCapacity];  // keys borrowed while the version stands
} ratio_map_cache;

// for ratio_str, std_val in self._std_ratio_map.items():
//     diff = abs(img_ratio - std_val)
//     if diff < min_diff: min_diff, best_ratio = diff, ratio_str
// On Machines the items come from the cache.
template <typename N>
Ref nearest(PyObject *ratio_map, const N &img_ratio, N min_diff, Ref best) {
    const auto visit = [&](PyObject *ratio_str, const N &std_val) {
        const N diff = abs(img_ratio - std_val);
        if (truth(lt(diff, min_diff))) {
            min_diff = diff;
            best = Ref::borrow(ratio_str);
        }
    };
    if constexpr (std::is_same_v<N, Machine>) {
        RatioMapCache &items = ratio_map_cache;
        if (!PyDict_CheckExact(ratio_map) || PyDict_GET_SIZE(ratio_map) > RatioMapCache::kCapacity) throw Failed{};
        if (items.version != dict_version(ratio_map)) {
            items.version = items.count = 0;
            PyObject *key, *value;
            for (Py_ssize_t pos = 0; PyDict_Next(ratio_map, &pos, &key, &value); ++items.count)
                items.entries[items.count] = {key, Machine::of(value)};
            items.version = dict_version(ratio_map);
        }
        for (Py_ssize_t i = 0; i < items.count; ++i) visit(items.entries[i].first, items.entries[i].second);
    } else {
        const Object items(call_method(ratio_map, "items"_n));
        const Object iter(PyObject_GetIter(items.get()));
        while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
            Ref ratio_str, std_val;
            if (!unpack2(item.get(), ratio_str, std_val, Unpack::python)) throw Failed{};
            visit(ratio_str.get(), Object(std::move(std_val)));
        }
        if (PyErr_Occurred()) throw Failed{};
    }
    return best;
}

Ref get_closest_standard_ratio(PyObject *self, PyObject *width, PyObject *height) {
    // img_ratio = width / height: a double division of two small exact ints, made an
    // object only when Python divides them some other way
    Machine quotient;
    Ref img_ratio;
    try {
        quotient = Machine::of(width) / Machine::of(height);
    } catch (const Failed &) {
        if (!(img_ratio = Ref::steal(PyNumber_TrueDivide(width, height)))) return {};
    }
    Ref min_diff = math_inf.get();
    Ref ratios = min_diff ? get_attr(self, "STANDARD_RATIO_LIST"_n) : Ref();
    Ref best;  // best_ratio = self.STANDARD_RATIO_LIST[0]
    if (ratios && PyList_CheckExact(ratios.get()) && PyList_GET_SIZE(ratios.get()) > 0)
        best = Ref::borrow(PyList_GET_ITEM(ratios.get(), 0));
    else if (Ref zero = ratios ? Ref::steal(PyLong_FromLong(0)) : Ref())
        best = Ref::steal(PyObject_GetItem(ratios.get(), zero.get()));
    Ref ratio_map = best ? get_attr(self, "_std_ratio_map"_n) : Ref();
    if (!ratio_map) return {};
    return fast_or_general(
        [&] {
            PyObject *inf = min_diff.get();
            const bool infinite = PyFloat_CheckExact(inf) && PyFloat_AS_DOUBLE(inf) == HUGE_VAL;
            const Machine least = infinite ? Machine::infinity() : Machine::of(inf);
            return nearest(ratio_map.get(), img_ratio ? throw Failed{} : quotient, least, best);
        },
        [&] {
            const Object ratio(img_ratio ? img_ratio : quotient.object());
            return nearest(ratio_map.get(), ratio, Object::of(min_diff.get()), best);
        });
}

constexpr Function closest_contract{
    .name = "_get_closest_standard_ratio",
    .params = {{"self"}, {"width", Conv::integer, "int"}, {"height", Conv::integer, "int"}},
    .returns = Ret::str,
    .return_annotation = "str",
    .doc = "计算原图宽高，匹配 STANDARD_RATIO_LIST 中最接近的标准比例字符串",
    .body = native<get_closest_standard_ratio>(),
};

// io.seek(0); io.getvalue()
Ref rewound_bytes(PyObject *io) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref rewound = zero ? call_method(io, "seek"_n, zero.get()) : Ref();
    return rewound ? call_method(io, "getvalue"_n) : Ref();
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

// The image stretched when self.need_adjust == "resize", padded when it is "fill".
Ref widened(PyObject *self, PyObject *img, PyObject *ori_w, PyObject *ori_h, PyObject *expand_scale) {
    Ref need_adjust = get_attr(self, "need_adjust"_n);
    const int resize = need_adjust ? PyObject_RichCompareBool(need_adjust.get(), "resize"_t, Py_EQ) : -1;
    if (resize < 0) return {};
    if (!resize) {
        need_adjust = get_attr(self, "need_adjust"_n);
        const int fill = need_adjust ? PyObject_RichCompareBool(need_adjust.get(), "fill"_t, Py_EQ) : -1;
        if (fill == 0) PyErr_SetString(PyExc_ValueError, "need_adjust 仅支持 resize / fill");
        if (fill <= 0) return {};
    }
    // (expand_w, expand_h) to resize to, or (canvas_w, canvas_h)
    Ref new_w, new_h;
    if (!widen(ori_w, ori_h, expand_scale, !resize, new_w, new_h)) return {};
    // img.resize((expand_w, expand_h), Image.Resampling.LANCZOS)
    if (resize) return resized_lanczos(img, new_w.get(), new_h.get(), ResamplingFrom::image);
    // canvas = Image.new("RGBA", (canvas_w, canvas_h), self.fill_color)
    // canvas.paste(img, ((canvas_w - img_w) // 2, (canvas_h - img_h) // 2),
    //              mask=img if img.mode == "RGBA" else None)
    Ref img_w = get_attr(img, "width"_n);
    Ref img_h = img_w ? get_attr(img, "height"_n) : Ref();
    Ref canvas =
        img_h ? new_image("RGBA"_t, new_w.get(), new_h.get(), [&] { return get_attr(self, "fill_color"_n); }) : Ref();
    Ref box = canvas ? centred(new_w.get(), new_h.get(), img_w.get(), img_h.get()) : Ref();
    Ref paste = box ? get_attr(canvas.get(), "paste"_n) : Ref();
    Ref mode = paste ? get_attr(img, "mode"_n) : Ref();
    const int has_alpha = mode ? PyObject_RichCompareBool(mode.get(), "RGBA"_t, Py_EQ) : -1;
    if (has_alpha < 0 || !call_kw(paste.get(), name_tuple<"mask">, img, box.get(), has_alpha ? img : Py_None))
        return {};
    return canvas;
}

// out_io = BytesIO(); resized_img.save(out_io, format=img.format or "PNG", quality=95)
// and the bytes written (a converted image never has a format).
Ref encoded(PyObject *img, PyObject *resized_img) {
    Ref bytes_io = global("BytesIO"_n);
    Ref out_io = bytes_io ? call(bytes_io.get()) : Ref();
    Ref img_format = out_io ? get_attr(img, "format"_n) : Ref();
    const int has_format = img_format ? truth(img_format.get()) : -1;
    if (has_format < 0) return {};
    if (!has_format) img_format = Ref::borrow("PNG"_t);
    Ref quality = Ref::steal(PyLong_FromLong(95));
    Ref save = quality ? get_attr(resized_img, "save"_n) : Ref();
    if (!save || !call_kw(save.get(), name_tuple<"format", "quality">, out_io.get(), img_format.get(), quality.get()))
        return {};
    return rewound_bytes(out_io.get());
}

Ref adjust_size(PyObject *self, PyObject *image_bytes, bool return_origin_ratio, double expand_percent) {
    Ref expand_scale = Ref::steal(PyFloat_FromDouble(expand_percent / 100.0 + 1.0));
    Ref bytes_io = expand_scale ? global("BytesIO"_n) : Ref();
    Ref img_io = bytes_io ? call(bytes_io.get(), image_bytes) : Ref();
    // img = Image.open(img_io).convert("RGBA"), decoded in full on every path: bytes
    // Pillow cannot read fail here whatever follows.
    Ref open = img_io ? image_open.get() : Ref();
    Ref opened = open ? call(open.get(), img_io.get()) : Ref();
    Ref img = opened ? call_method(opened.get(), "convert"_n, "RGBA"_t.get()) : Ref();
    opened.reset();  // the decoded original goes now, as Python's temporary does
    Ref size = img ? get_attr(img.get(), "size"_n) : Ref();
    Ref ori_w, ori_h;
    if (!size || !unpack2(size.get(), ori_w, ori_h, Unpack::python)) return {};
    Ref ori_closest_ratio = call_method(self, "_get_closest_standard_ratio"_n, ori_w.get(), ori_h.get());
    if (!ori_closest_ratio) return {};

    // if self.proportion is not None and self.proportion != ori_closest_ratio: the input
    // goes back untouched. Python's `!=`, since PyObject_RichCompareBool would take any
    // object as equal to itself.
    Ref proportion = get_attr(self, "proportion"_n);
    if (!proportion) return {};
    if (proportion.get() != Py_None) {
        proportion = get_attr(self, "proportion"_n);
        if (!proportion) return {};
        Ref differs = Ref::steal(PyObject_RichCompare(proportion.get(), ori_closest_ratio.get(), Py_NE));
        const int keep = differs ? PyObject_IsTrue(differs.get()) : -1;
        if (keep < 0) return {};
        if (keep) {
            Ref origin_bytes = rewound_bytes(img_io.get());
            if (!origin_bytes || !return_origin_ratio) return origin_bytes;
            proportion = get_attr(self, "proportion"_n);  // return origin_bytes, self.proportion
            return proportion ? Ref::steal(PyTuple_Pack(2, origin_bytes.get(), proportion.get())) : Ref();
        }
    }
    Ref resized_img = widened(self, img.get(), ori_w.get(), ori_h.get(), expand_scale.get());
    Ref result_bytes = resized_img ? encoded(img.get(), resized_img.get()) : Ref();
    if (!result_bytes || !return_origin_ratio) return result_bytes;
    return Ref::steal(PyTuple_Pack(2, result_bytes.get(), ori_closest_ratio.get()));
}

constexpr Function adjust_size_contract{
    .name = "adjust_size",
    .params = {{"self"},
               {"image_bytes", Conv::bytes, "bytes"},
               {"return_origin_ratio", Conv::truth, "bool", dflt::boolean<false>},
               {"expand_percent", Conv::real, "float", dflt::real<10>}},
    .doc =
        "\n"
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

constexpr Member image_tool_namespace[] = {
    constant("STANDARD_RATIO_LIST", standard_ratio_list),
    def(init_contract),
    def(parse_ratio_contract),
    def(closest_contract),
    def(adjust_size_contract),
};

constexpr Class image_tool = make_class("ImageTool", nullptr, image_tool_namespace);

bool execute(Module &m) noexcept {
    return m.import_from<"BytesIO">("io") && m.import_from<"Optional", "Tuple">("typing") &&
           m.import_from<"Image">("PIL") && m.import("re") && m.import("math") && m.add(image_tool);
}

constexpr ModuleInfo brennic{"carvola.brennic", execute};

}  // namespace
}  // namespace carvola::brennic

PyMODINIT_FUNC PyInit_brennic() { return carvola::module_init(carvola::brennic::brennic); }
