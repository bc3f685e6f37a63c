// The size algorithms of GPTImageSizeCalculator, written once over a class view C:
// C::Number is the number type, C gives the class constants and the methods called.
// Each statement is the Python line quoted above it; a step that cannot go on throws Failed.
// A call f(x) evaluates f before x, as Python does (math.sqrt is looked up first).
#pragma once

#include "number.hpp"

namespace carvola::tulvene {

enum Constant { min_pixels, max_pixels, max_edge, multiple, max_ratio };

template <typename C>
using Number = typename C::Number;

// max(multiple, int(whole(value / multiple) * multiple)), `whole` being round or math.floor.
template <typename N, typename F>
N aligned(const N &value, const N &multiple, const F &whole) {
    return max_of(multiple, to_int(whole(value / multiple) * multiple));
}

// cls.is_valid_image_size(width, height)
template <typename C, typename N = Number<C>>
N validity(const C &c, const N &width, const N &height) {
    // pixels = width * height; long_edge = max(...); short_edge = min(...); ratio = long_edge / short_edge
    const N pixels = width * height;
    const N long_edge = max_of(width, height);
    const N short_edge = min_of(width, height);
    const N ratio = long_edge / short_edge;
    const N zero = N::integer(0);
    // cls.MIN_PIXELS <= pixels <= cls.MAX_PIXELS
    const auto in_range = [&] {
        const N lower = le(c.constant(min_pixels), pixels);
        return truth(lower) ? le(pixels, c.constant(max_pixels)) : lower;
    };
    // checks = [long_edge <= cls.MAX_EDGE, width % cls.MULTIPLE == 0, height % ... == 0,
    //           ratio <= cls.MAX_RATIO, <in range>]; a braced list is evaluated in order.
    const N checks[] = {le(long_edge, c.constant(max_edge)), eq(width % c.constant(multiple), zero),
                        eq(height % c.constant(multiple), zero), le(ratio, c.constant(max_ratio)), in_range()};
    // all(checks)
    for (const N &check : checks)
        if (!truth(check)) return N::boolean(false);
    return N::boolean(true);
}

// ratio = rw / rh, with rw and rh narrowed first when their ratio exceeds MAX_RATIO;
// false when strict refuses the ratio.
template <typename C, typename N = Number<C>>
bool narrowed_ratio(const C &c, N &rw, N &rh, bool strict, N &ratio) {
    // ratio = rw / rh; long_r = max(rw, rh); short_r = min(rw, rh)
    ratio = rw / rh;
    const N long_r = max_of(rw, rh);
    const N short_r = min_of(rw, rh);
    // if long_r / short_r > cls.MAX_RATIO:
    if (!truth(gt(long_r / short_r, c.constant(max_ratio)))) return true;
    if (strict) return false;
    // rw, rh = int(cls.MAX_RATIO * short_r), short_r (or the other way round if rw < rh)
    const bool landscape = truth(ge(rw, rh));
    const N narrowed = to_int(c.constant(max_ratio) * short_r);
    rw = landscape ? narrowed : short_r;
    rh = landscape ? short_r : narrowed;
    ratio = rw / rh;
    return true;
}

// The corrective loop of calc_size, from w and h.
template <typename C, typename N = Number<C>>
void corrected(const C &c, N &w, N &h) {
    for (int pass = 0; pass < 20; ++pass) {
        // w_align = cls.round_to_multiple(w); h_align = ...(h); current = w_align * h_align
        const N w_align = c.round_to_multiple(w);
        const N h_align = c.round_to_multiple(h);
        const N current = w_align * h_align;
        // if cls.is_valid_image_size(w_align, h_align): w, h = w_align, h_align; break
        if (truth(c.is_valid(w_align, h_align))) {
            w = w_align;
            h = h_align;
            return;
        }
        N scale;
        if (truth(gt(current, c.constant(max_pixels)))) {
            // scale = math.sqrt(cls.MAX_PIXELS / current_pixels) * 0.999
            scale = c.sqrt()(c.constant(max_pixels) / current) * N::real(0.999);
        } else if (const N long_e = max_of(w, h); truth(gt(long_e, c.constant(max_edge)))) {
            // if max(w, h) > cls.MAX_EDGE: scale = cls.MAX_EDGE / long_e
            scale = c.constant(max_edge) / long_e;
        } else if (truth(lt(current, c.constant(min_pixels)))) {
            // scale = math.sqrt(cls.MIN_PIXELS / current_pixels)
            scale = c.sqrt()(c.constant(min_pixels) / current);
        } else {
            // w = cls.floor_to_multiple(w); h = cls.floor_to_multiple(h)
            w = c.floor_to_multiple(w);
            h = c.floor_to_multiple(h);
            continue;
        }
        // w *= scale; h *= scale
        w *= scale;
        h *= scale;
    }
}

}  // namespace carvola::tulvene
