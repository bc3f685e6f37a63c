// The image modules' shared arithmetic and resampling lookup.
#include "image.hpp"

namespace carvola {

Ref scaled(PyObject *side, PyObject *factor) noexcept {
    Ref product = Ref::steal(PyNumber_Multiply(side, factor));
    return product ? Ref::steal(PyNumber_Long(product.get())) : Ref();
}

Ref centred(PyObject *outer_w, PyObject *outer_h, PyObject *inner_w, PyObject *inner_h) noexcept {
    Ref two = Ref::steal(PyLong_FromLong(2));
    auto half_margin = [&](PyObject *outer, PyObject *inner) {
        Ref margin = Ref::steal(PyNumber_Subtract(outer, inner));
        return margin ? Ref::steal(PyNumber_FloorDivide(margin.get(), two.get())) : Ref{};
    };
    Ref x = two ? half_margin(outer_w, inner_w) : Ref{};
    Ref y = x ? half_margin(outer_h, inner_h) : Ref{};
    return y ? Ref::steal(PyTuple_Pack(2, x.get(), y.get())) : Ref{};
}

Ref resized_lanczos(PyObject *img, PyObject *width, PyObject *height, ResamplingFrom from) noexcept {
    Ref resize = get_attr(img, "resize"_n);
    Ref size = resize ? Ref::steal(PyTuple_Pack(2, width, height)) : Ref();
    // Resampling.LANCZOS or Image.Resampling.LANCZOS, through whatever the globals now are
    Ref resampling = size ? global(from == ResamplingFrom::global ? "Resampling"_n : "Image"_n) : Ref();
    if (resampling && from == ResamplingFrom::image) resampling = get_attr(resampling.get(), "Resampling"_n);
    Ref filter = resampling ? get_attr(resampling.get(), "LANCZOS"_n) : Ref();
    return filter ? call(resize.get(), size.get(), filter.get()) : Ref();
}

}  // namespace carvola
