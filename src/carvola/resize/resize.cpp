// carvola.resize: image_resize, which scales an image to fit a box without changing its
// proportion and centres it on a plain background of exactly the box size.
#include "attributes.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "image.hpp"
#include "module.hpp"

namespace carvola::resize {
namespace {

Name n_size{"size"};
Name n_paste{"paste"};
Text rgb{"RGB"};

Ref image_resize(PyObject *image, PyObject *target_w, PyObject *target_h, PyObject *bg_color) {
    // The canvas comes first, so Pillow judges the box and the colour before the source.
    Ref canvas = new_image(rgb, target_w, target_h, [&] { return Ref::borrow(bg_color); });
    if (!canvas) return {};

    Ref source_size = get_attr(image, n_size);
    if (!source_size) return {};
    Ref s_w, s_h;
    if (!unpack2(source_size.get(), s_w, s_h, Unpack::python)) return {};

    // min(a, b) keeps a unless b is strictly smaller.
    Ref ratio = Ref::steal(PyNumber_TrueDivide(target_w, s_w.get()));
    if (!ratio) return {};
    Ref height_ratio = Ref::steal(PyNumber_TrueDivide(target_h, s_h.get()));
    if (!height_ratio) return {};
    const int height_limits = PyObject_RichCompareBool(height_ratio.get(), ratio.get(), Py_LT);
    if (height_limits < 0) return {};
    if (height_limits) ratio = std::move(height_ratio);

    Ref new_w = scaled(s_w.get(), ratio.get());
    if (!new_w) return {};
    Ref new_h = scaled(s_h.get(), ratio.get());
    if (!new_h) return {};

    Ref resized_img = resized_lanczos(image, new_w.get(), new_h.get(), ResamplingFrom::global);
    if (!resized_img) return {};

    Ref paste_x = centred(target_w, new_w.get());
    if (!paste_x) return {};
    Ref paste_y = centred(target_h, new_h.get());
    if (!paste_y) return {};

    Ref paste = get_attr(canvas.get(), n_paste);
    if (!paste) return {};
    Ref corner = Ref::steal(PyTuple_Pack(2, paste_x.get(), paste_y.get()));
    if (!corner) return {};
    if (!call(paste.get(), resized_img.get(), corner.get())) return {};
    return canvas;
}

constexpr Function image_resize_contract{
    .name = "image_resize",
    .kind = Kind::function,
    .params = {{"image", Conv::object, "Image"},
               {"target_w", Conv::integer, "int"},
               {"target_h", Conv::integer, "int"},
               {"bg_color", Conv::object, nullptr, dflt::ints(0, 0, 0)}},
    .return_annotation = "Image",
    .doc = "\n"
           "    将图片等比缩放并居中放置到指定尺寸的画布上。\n"
           "\n"
           "    Args:\n"
           "        image: PIL Image 对象\n"
           "        target_w: 目标宽度\n"
           "        target_h: 目标高度\n"
           "        bg_color: 画布背景颜色，RGB 元组，默认为黑色 (0, 0, 0)\n"
           "\n"
           "    Returns:\n"
           "        缩放并居中后的 PIL Image 对象\n"
           "    ",
    .body = native<image_resize>(),
};

// ----- module -----

bool execute(Module &m) noexcept {
    return m.import_from("PIL", {"Image"}) && m.import_from("PIL.Image", {"Resampling"}) &&
           m.add(def(image_resize_contract));
}

constexpr ModuleInfo resize{"carvola.resize", execute};

}  // namespace
}  // namespace carvola::resize

PyMODINIT_FUNC PyInit_resize() { return carvola::module_init(carvola::resize::resize); }
