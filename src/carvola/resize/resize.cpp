// carvola.resize: image_resize, which scales an image to fit a box without changing its
// proportion and centres it on a plain background of exactly the box size.
#include "attributes.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "image.hpp"
#include "module.hpp"

namespace carvola::resize {
namespace {

Ref image_resize(PyObject *image, PyObject *target_w, PyObject *target_h, PyObject *bg_color) {
    // The canvas comes first, so Pillow judges the box and the colour before the source.
    Ref canvas = new_image("RGB"_t, target_w, target_h, [&] { return Ref::borrow(bg_color); });
    Ref source_size = canvas ? get_attr(image, "size"_n) : Ref();
    Ref s_w, s_h;
    if (!source_size || !unpack2(source_size.get(), s_w, s_h, Unpack::python)) return {};

    // ratio = min(target_w / s_w, target_h / s_h); min keeps the first unless the second
    // is strictly smaller.
    Ref ratio = Ref::steal(PyNumber_TrueDivide(target_w, s_w.get()));
    Ref height_ratio = ratio ? Ref::steal(PyNumber_TrueDivide(target_h, s_h.get())) : Ref();
    const int height_limits = height_ratio ? PyObject_RichCompareBool(height_ratio.get(), ratio.get(), Py_LT) : -1;
    if (height_limits < 0) return {};
    if (height_limits) ratio = std::move(height_ratio);

    Ref new_w = scaled(s_w.get(), ratio.get());
    Ref new_h = new_w ? scaled(s_h.get(), ratio.get()) : Ref();
    Ref resized_img = new_h ? resized_lanczos(image, new_w.get(), new_h.get(), ResamplingFrom::global) : Ref();
    // canvas.paste(resized_img, ((target_w - new_w) // 2, (target_h - new_h) // 2))
    Ref corner = resized_img ? centred(target_w, target_h, new_w.get(), new_h.get()) : Ref();
    Ref paste = corner ? get_attr(canvas.get(), "paste"_n) : Ref();
    if (!paste || !call(paste.get(), resized_img.get(), corner.get())) return {};
    return canvas;
}

constexpr Function image_resize_contract{
    .name = "image_resize",
    .kind = Kind::function,
    .params = {{"image", Conv::object, "Image"},
               {"target_w", Conv::integer, "int"},
               {"target_h", Conv::integer, "int"},
               {"bg_color", Conv::object, nullptr, dflt::ints<0, 0, 0>}},
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

bool execute(Module &m) noexcept {
    return m.import_from<"Image">("PIL") && m.import_from<"Resampling">("PIL.Image") &&
           m.add(def(image_resize_contract));
}

constexpr ModuleInfo resize{"carvola.resize", execute};

}  // namespace
}  // namespace carvola::resize

PyMODINIT_FUNC PyInit_resize() { return carvola::module_init(carvola::resize::resize); }
