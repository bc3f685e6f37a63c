// The steps of ImageTool apart from its contracts: the native scan of ratio strings, and
// the image steps of adjust_size, each standing for the Python statements given beside
// it, with every Pillow call made through the module globals as they are now.
#pragma once

#include "ref.hpp"

namespace carvola::brennic {

// Where re.match("(\d+):(\d+)", text.strip()) finds its two groups: \d is
// str.isdecimal(), and strip() removes only characters that are neither digits nor ":".
struct RatioScan {
    bool matched = false;
    Py_ssize_t w_start = 0, w_end = 0, h_start = 0, h_end = 0;
};
RatioScan scan_ratio(PyObject *text);

// The value of a run of at most 18 ASCII digits; false for anything longer or wider.
bool small_digits(PyObject *text, Py_ssize_t start, Py_ssize_t end, long long &value);

// int() of the digits text[start:end].
Ref digits_to_int(PyObject *text, Py_ssize_t start, Py_ssize_t end);

// not text.strip(), for an exact str
bool is_blank(PyObject *text);

// Image.open(img_io).convert("RGBA")
Ref decode_rgba(PyObject *img_io);

// self.proportion and self.proportion != ori_closest_ratio: 1 when the instance asks for
// a proportion other than the image's closest one, so the input goes back untouched; 0
// when the image is adjusted; -1 with an error set.
int keeps_input(PyObject *self, PyObject *ori_closest_ratio);

// The input bytes read back from the stream, with self.proportion when asked.
Ref untouched(PyObject *self, PyObject *img_io, bool return_origin_ratio);

// The image widened as self.need_adjust says: stretched for "resize", padded onto a
// canvas of the fill colour for "fill"; ValueError for anything else.
Ref widened(PyObject *self, PyObject *img, PyObject *ori_w, PyObject *ori_h, PyObject *expand_scale);

// resized_img encoded as img.format, or PNG when the image has none (a converted image
// never has one).
Ref encoded(PyObject *img, PyObject *resized_img);

}  // namespace carvola::brennic
