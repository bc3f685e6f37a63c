// The arithmetic and the resampling filter the image modules share, each standing for
// the Python expression given beside it, through the number protocol.
#pragma once

#include "ref.hpp"

namespace carvola {

// int(side * factor)
Ref scaled(PyObject *side, PyObject *factor) noexcept;

// (outer - inner) // 2: floor division, so an odd margin leaves the extra pixel on the
// right or bottom and a negative one rounds toward minus infinity.
Ref centred(PyObject *outer, PyObject *inner) noexcept;

// Where a module finds the resampling enum: its own global `Resampling`, or the
// `Resampling` attribute of its global `Image`.
enum class ResamplingFrom { global, image };

// Resampling.LANCZOS or Image.Resampling.LANCZOS, through whatever the globals now are.
Ref lanczos(ResamplingFrom from) noexcept;

// img.resize((width, height), <the enum>.LANCZOS)
Ref resized_lanczos(PyObject *img, PyObject *width, PyObject *height, ResamplingFrom from) noexcept;

}  // namespace carvola
