// The image steps of ImageTool.adjust_size.
#include "steps.hpp"

#include "attributes.hpp"
#include "calls.hpp"
#include "image.hpp"
#include "module.hpp"

namespace carvola::brennic {
namespace {

Name n_bytes_io{"BytesIO"};
Name n_image{"Image"};
Name n_open{"open"};
Name n_convert{"convert"};
Name n_width{"width"};
Name n_height{"height"};
Name n_mode{"mode"};
Name n_format{"format"};
Name n_paste{"paste"};
Name n_mask{"mask"};
Name n_save{"save"};
Name n_quality{"quality"};
Name n_seek{"seek"};
Name n_getvalue{"getvalue"};
Name n_fill_color{"fill_color"};
Name n_proportion{"proportion"};
Name n_need_adjust{"need_adjust"};
Text rgba{"RGBA"};
Text png{"PNG"};
Text resize_mode{"resize"};
Text fill_mode{"fill"};

// Keyword names of the two Pillow calls that take keyword arguments.
NameTuple paste_keywords{n_mask};
NameTuple save_keywords{n_format, n_quality};

bool is_decimal(Py_UCS4 c) { return c < 128 ? c >= '0' && c <= '9' : Py_UNICODE_ISDECIMAL(c) != 0; }

}  // namespace

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

Ref digits_to_int(PyObject *text, Py_ssize_t start, Py_ssize_t end) {
    long long value;
    if (small_digits(text, start, end, value)) return Ref::steal(PyLong_FromLongLong(value));
    Ref digits = Ref::steal(PyUnicode_Substring(text, start, end));
    if (!digits) return {};
    return Ref::steal(PyLong_FromUnicodeObject(digits.get(), 10));
}

bool is_blank(PyObject *text) {
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i)
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return false;
    return true;
}

namespace {

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

}  // namespace

// Image.open(img_io).convert("RGBA")
Ref decode_rgba(PyObject *img_io) {
    Ref image = global(n_image);
    if (!image) return {};
    Ref opened = call_method(image.get(), n_open, img_io);
    if (!opened) return {};
    return call_method(opened.get(), n_convert, rgba.get());
}

namespace {

// img.resize((expand_w, expand_h), Image.Resampling.LANCZOS)
Ref stretched(PyObject *img, PyObject *ori_w, PyObject *ori_h, PyObject *expand_scale) {
    Ref expand_w, expand_h;
    if (!widen(ori_w, ori_h, expand_scale, false, expand_w, expand_h)) return {};
    return resized_lanczos(img, expand_w.get(), expand_h.get(), ResamplingFrom::image);
}

// Image.new("RGBA", (canvas_w, canvas_h), self.fill_color)
Ref new_canvas(PyObject *self, PyObject *canvas_w, PyObject *canvas_h) {
    return new_image(rgba, canvas_w, canvas_h, [&] { return get_attr(self, n_fill_color); });
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
    const int has_alpha = PyObject_RichCompareBool(mode.get(), rgba, Py_EQ);
    if (has_alpha < 0) return {};
    Ref pasted = call_kw(paste.get(), paste_keywords, img, box.get(), has_alpha ? img : Py_None);
    if (!pasted) return {};
    return canvas;
}

}  // namespace

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

namespace {

// 1 when self.need_adjust == mode, 0 when not, -1 on error.
int mode_is(PyObject *self, const Text &mode) {
    Ref need_adjust = get_attr(self, n_need_adjust);
    if (!need_adjust) return -1;
    return PyObject_RichCompareBool(need_adjust.get(), mode, Py_EQ);
}


// io.seek(0); io.getvalue()
Ref rewound_bytes(PyObject *io) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return {};
    Ref rewound = call_method(io, n_seek, zero.get());
    if (!rewound) return {};
    return call_method(io, n_getvalue);
}

}  // namespace

Ref widened(PyObject *self, PyObject *img, PyObject *ori_w, PyObject *ori_h, PyObject *expand_scale) {
    const int resize = mode_is(self, resize_mode);
    if (resize < 0) return {};
    if (resize) return stretched(img, ori_w, ori_h, expand_scale);
    const int fill = mode_is(self, fill_mode);
    if (fill < 0) return {};
    if (fill) return padded(self, img, ori_w, ori_h, expand_scale);
    PyErr_SetString(PyExc_ValueError, "need_adjust 仅支持 resize / fill");
    return {};
}

// resized_img encoded as img.format, or PNG when the image has none (a converted image
// never has one).
Ref encoded(PyObject *img, PyObject *resized_img) {
    Ref bytes_io = global(n_bytes_io);
    if (!bytes_io) return {};
    Ref out_io = call(bytes_io.get());
    if (!out_io) return {};
    Ref img_format = get_attr(img, n_format);
    if (!img_format) return {};
    const int has_format = truth(img_format.get());
    if (has_format < 0) return {};
    if (!has_format) img_format = Ref::borrow(png);
    Ref quality = Ref::steal(PyLong_FromLong(95));
    if (!quality) return {};
    Ref saved = call_method_kw(resized_img, n_save, save_keywords, out_io.get(), img_format.get(), quality.get());
    if (!saved) return {};
    return rewound_bytes(out_io.get());
}

// The input bytes read back from the stream, with the requested proportion when asked.
Ref untouched(PyObject *self, PyObject *img_io, bool return_origin_ratio) {
    Ref origin_bytes = rewound_bytes(img_io);
    if (!origin_bytes || !return_origin_ratio) return origin_bytes;
    Ref proportion = get_attr(self, n_proportion);
    if (!proportion) return {};
    return Ref::steal(PyTuple_Pack(2, origin_bytes.get(), proportion.get()));
}


}  // namespace carvola::brennic
