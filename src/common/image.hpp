// The arithmetic and the resampling filter the image modules share, each standing for
// the Python expression given beside it, through the number protocol.
#pragma once

#include "attributes.hpp"
#include "calls.hpp"
#include "module.hpp"

namespace carvola {

// int(side * factor)
Ref scaled(PyObject *side, PyObject *factor) noexcept;

// ((outer_w - inner_w) // 2, (outer_h - inner_h) // 2), the corner that centres a paste:
// floor division, so an odd margin leaves the extra pixel on the right or bottom and a
// negative one rounds toward minus infinity.
Ref centred(PyObject *outer_w, PyObject *outer_h, PyObject *inner_w, PyObject *inner_h) noexcept;

// Where a module finds the resampling enum: its own global `Resampling`, or the
// `Resampling` attribute of its global `Image`.
enum class ResamplingFrom { global, image };

// Image.new(mode, (width, height), colour), through the module global `Image` as it is
// now, where `colour()` gives the colour (a new reference, or null with an error set) at
// the point Python evaluates that argument.
template <typename Colour>
Ref new_image(PyObject *mode, PyObject *width, PyObject *height, Colour &&colour) {
    Ref image = global("Image"_n);
    Ref maker = image ? get_attr(image.get(), "new"_n) : Ref();
    Ref size = maker ? Ref::steal(PyTuple_Pack(2, width, height)) : Ref();
    Ref fill = size ? colour() : Ref();
    return fill ? call(maker.get(), mode, size.get(), fill.get()) : Ref();
}

// img.resize((width, height), <the enum>.LANCZOS)
Ref resized_lanczos(PyObject *img, PyObject *width, PyObject *height, ResamplingFrom from) noexcept;

}  // namespace carvola
