// carvola.brennic: ImageTool, which snaps an image's width:height proportion to the
// nearest of ten standard ratios and parses ratio strings.
#include "errors.hpp"
#include "module.hpp"

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

// The `re` module and `re.match` as imported, and `math`: while the module globals still
// hold them, ratio strings are scanned natively and math.inf is read from its dict.
Retained original_re;
Retained original_match;
Retained original_math;

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

// ----- __init__ -----

bool is_blank(PyObject *text) {
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i)
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return false;
    return true;
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

    Ref ratios = Ref::steal(PyObject_GetAttr(self, n_standard_ratio_list));
    if (!ratios) return {};
    Ref iter = Ref::steal(PyObject_GetIter(ratios.get()));
    if (!iter) return {};
    while (Ref r = Ref::steal(PyIter_Next(iter.get()))) {
        Ref parse = Ref::steal(PyObject_GetAttr(self, n_parse_ratio));
        if (!parse) return {};
        PyObject *arg = r.get();
        Ref parsed = Ref::steal(PyObject_Vectorcall(parse.get(), &arg, 1, nullptr));
        Ref w, h;
        if (!parsed || !unpack2(parsed.get(), w, h, Unpack::python)) return {};
        Ref value = Ref::steal(PyNumber_TrueDivide(w.get(), h.get()));
        if (!value) return {};
        Ref target = Ref::steal(PyObject_GetAttr(self, n_std_ratio_map));
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

// ----- _parse_ratio -----

Py_NO_INLINE Ref raise_ratio_format(PyObject *ratio_str) {
    Ref head = Ref::steal(PyUnicode_FromString("比例格式错误 "));
    Ref tail = Ref::steal(PyUnicode_FromString("，示例：3:4"));
    if (!head || !tail) return {};
    Ref message = Ref::steal(PyUnicode_Concat(head.get(), ratio_str));
    if (message) message = Ref::steal(PyUnicode_Concat(message.get(), tail.get()));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return {};
}

// int() of the decimal digits text[start:end]; short ASCII runs are summed directly,
// everything else goes through int() itself (Unicode digits, the digit-count limit).
Ref digits_to_int(PyObject *text, int kind, const void *data, Py_ssize_t start, Py_ssize_t end) {
    if (end - start <= 18) {
        long long value = 0;
        bool ascii = true;
        for (Py_ssize_t i = start; i < end && ascii; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            ascii = c >= '0' && c <= '9';
            value = value * 10 + static_cast<long long>(c - '0');
        }
        if (ascii) return Ref::steal(PyLong_FromLongLong(value));
    }
    Ref digits = Ref::steal(PyUnicode_Substring(text, start, end));
    if (!digits) return {};
    return Ref::steal(PyLong_FromUnicodeObject(digits.get(), 10));
}

// re.match("(\d+):(\d+)", ratio_str.strip()) scanned natively: \d is str.isdecimal(),
// and strip() only removes characters that can be neither digits nor ":".
Ref parse_scanned(PyObject *ratio_str) {
    const int kind = PyUnicode_KIND(ratio_str);
    const void *data = PyUnicode_DATA(ratio_str);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(ratio_str);
    Py_ssize_t i = 0;
    while (i < n && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) ++i;
    const Py_ssize_t w_start = i;
    while (i < n && Py_UNICODE_ISDECIMAL(PyUnicode_READ(kind, data, i))) ++i;
    const Py_ssize_t w_end = i;
    if (w_end == w_start || i == n || PyUnicode_READ(kind, data, i) != ':') return raise_ratio_format(ratio_str);
    const Py_ssize_t h_start = ++i;
    while (i < n && Py_UNICODE_ISDECIMAL(PyUnicode_READ(kind, data, i))) ++i;
    const Py_ssize_t h_end = i;
    if (h_end == h_start) return raise_ratio_format(ratio_str);

    Ref w = digits_to_int(ratio_str, kind, data, w_start, w_end);
    if (!w) return {};
    Ref h = digits_to_int(ratio_str, kind, data, h_start, h_end);
    if (!h) return {};
    return Ref::steal(PyTuple_Pack(2, w.get(), h.get()));
}

// The same statements through whatever the module global `re` now is.
Ref parse_with_re(PyObject *re, PyObject *ratio_str) {
    Ref match_fn = Ref::steal(PyObject_GetAttr(re, n_match));
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

bool re_is_original(PyObject *re) {
    if (re != original_re.get() || !PyModule_CheckExact(re)) return false;
    PyObject *match = PyDict_GetItemWithError(PyModule_GetDict(re), n_match);
    return match != nullptr && match == original_match.get();
}

Ref parse_ratio(PyObject *ratio_str) {
    Ref re = global(n_re);
    if (!re) return {};
    if (re_is_original(re.get())) return parse_scanned(ratio_str);
    if (PyErr_Occurred()) return {};
    return parse_with_re(re.get(), ratio_str);
}

constexpr Function parse_ratio_contract{
    .name = "_parse_ratio",
    .kind = Kind::staticmethod,
    .params = {{"ratio_str", Conv::str, "str"}},
    .return_annotation = "Tuple[int, int]",
    .doc = "解析 3:4 -> (3,4)",
    .body = native<parse_ratio>(),
};

// ----- _get_closest_standard_ratio -----

// width / height of two ints, as Python computes it: exactly representable operands are
// divided as doubles, anything larger goes through the number protocol.
Ref true_divide(PyObject *a, PyObject *b) {
    int overflow_a = 0, overflow_b = 0;
    const long long x = PyLong_AsLongLongAndOverflow(a, &overflow_a);
    const long long y = PyLong_AsLongLongAndOverflow(b, &overflow_b);
    constexpr long long exact = 1LL << 53;
    if (!overflow_a && !overflow_b && x >= -exact && x <= exact && y >= -exact && y <= exact) {
        if (y == 0) {
            PyErr_SetString(PyExc_ZeroDivisionError, "division by zero");
            return {};
        }
        return Ref::steal(PyFloat_FromDouble(static_cast<double>(x) / static_cast<double>(y)));
    }
    return Ref::steal(PyNumber_TrueDivide(a, b));
}

Ref math_inf() {
    Ref math = global(n_math);
    if (!math) return {};
    if (math.get() == original_math.get() && PyModule_CheckExact(math.get())) {
        if (PyObject *inf = PyDict_GetItemWithError(PyModule_GetDict(math.get()), n_inf)) return Ref::borrow(inf);
        if (PyErr_Occurred()) return {};
    }
    return Ref::steal(PyObject_GetAttr(math.get(), n_inf));
}

// Fast case: an exact dict of exact floats, compared in doubles without running Python
// code. Returns false (nothing changed) when the map is anything else.
bool closest_in_doubles(PyObject *ratio_map, double img_ratio, double min_diff, Ref &best) {
    if (!PyDict_CheckExact(ratio_map)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(ratio_map, &pos, &key, &value))
        if (!PyFloat_CheckExact(value)) return false;
    pos = 0;
    PyObject *best_key = nullptr;
    while (PyDict_Next(ratio_map, &pos, &key, &value)) {
        const double diff = std::fabs(img_ratio - PyFloat_AS_DOUBLE(value));
        if (diff < min_diff) {
            min_diff = diff;
            best_key = key;
        }
    }
    if (best_key != nullptr) best = Ref::borrow(best_key);
    return true;
}

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

// obj[0]
Ref first_item(PyObject *obj) {
    if (PyList_CheckExact(obj) && PyList_GET_SIZE(obj) > 0) return Ref::borrow(PyList_GET_ITEM(obj, 0));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return {};
    return Ref::steal(PyObject_GetItem(obj, zero.get()));
}

Ref get_closest_standard_ratio(PyObject *self, PyObject *width, PyObject *height) {
    Ref img_ratio = true_divide(width, height);
    if (!img_ratio) return {};
    Ref min_diff = math_inf();
    if (!min_diff) return {};
    Ref ratios = Ref::steal(PyObject_GetAttr(self, n_standard_ratio_list));
    if (!ratios) return {};
    Ref best = first_item(ratios.get());
    if (!best) return {};
    Ref ratio_map = Ref::steal(PyObject_GetAttr(self, n_std_ratio_map));
    if (!ratio_map) return {};
    if (PyFloat_CheckExact(img_ratio.get()) && PyFloat_CheckExact(min_diff.get()) &&
        closest_in_doubles(ratio_map.get(), PyFloat_AS_DOUBLE(img_ratio.get()), PyFloat_AS_DOUBLE(min_diff.get()),
                           best)) {
        return best;
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

// ----- module -----

constexpr Member image_tool_namespace[] = {
    constant("STANDARD_RATIO_LIST", standard_ratio_list),
    def(init_contract),
    def(parse_ratio_contract),
    def(closest_contract),
};

constexpr Class image_tool = make_class("ImageTool", nullptr, image_tool_namespace);

bool remember_originals() {
    Ref re = global(n_re);
    Ref math = global(n_math);
    if (!re || !math) return false;
    Ref match = Ref::steal(PyObject_GetAttr(re.get(), n_match));
    if (!match) return false;
    original_re.keep(re.get());
    original_match.keep(match.get());
    original_math.keep(math.get());
    return true;
}

bool execute(Module &m) noexcept {
    return m.import_from("io", {"BytesIO"}) && m.import_from("typing", {"Optional", "Tuple"}) &&
           m.import_from("PIL", {"Image"}) && m.import("re") && m.import("math") && remember_originals() &&
           m.add(image_tool);
}

constexpr ModuleInfo brennic{"carvola.brennic", execute};

}  // namespace
}  // namespace carvola::brennic

PyMODINIT_FUNC PyInit_brennic() { return carvola::module_init(carvola::brennic::brennic); }
