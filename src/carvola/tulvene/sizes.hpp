// The size algorithms of GPTImageSizeCalculator, written once over a class view C:
// C::Number is the number type, C gives the class constants and the methods called.
#pragma once

#include "number.hpp"

namespace carvola::tulvene {

inline constexpr int kMaxLoop = 20;

enum Constant { min_pixels, max_pixels, max_edge, multiple, max_ratio };

// The views in use: Native, on machine numbers, for a plain class with the module's own
// methods; Through, on objects, for any class. Each statement below is the Python line
// quoted above it; on Objects a failed step stops the algorithm with Python's exception set.
template <typename C>
using Number = typename C::Number;

// max(multiple, int(whole(value / multiple) * multiple)), `whole` being round or math.floor.
template <typename N, typename F>
N aligned(const N &value, const N &multiple, const F &whole) {
    if (!whole) return {};
    const N quotient = value / multiple;
    return max_of(multiple, to_int(whole(quotient) * multiple));
}

// cls.is_valid_image_size(width, height)
template <typename C, typename N = Number<C>>
N validity(const C &c, const N &width, const N &height) {
    // pixels = width * height; long_edge = max(...); short_edge = min(...)
    const N pixels = width * height;
    const N long_edge = pixels.ok() ? max_of(width, height) : N();
    const N short_edge = long_edge.ok() ? min_of(width, height) : N();
    // ratio = long_edge / short_edge
    const N ratio = short_edge.ok() ? long_edge / short_edge : N();
    if (!ratio.ok()) return {};
    // checks = [long_edge <= cls.MAX_EDGE, width % cls.MULTIPLE == 0, height % ... == 0,
    //           ratio <= cls.MAX_RATIO, cls.MIN_PIXELS <= pixels <= cls.MAX_PIXELS]
    const N zero = N::integer(0);
    N checks[5];
    checks[0] = le(long_edge, c.constant(max_edge));
    if (checks[0].ok()) checks[1] = eq(width % c.constant(multiple), zero);
    if (checks[1].ok()) checks[2] = eq(height % c.constant(multiple), zero);
    if (checks[2].ok()) checks[3] = le(ratio, c.constant(max_ratio));
    if (checks[3].ok()) checks[4] = le(c.constant(min_pixels), pixels);
    const int lower = truth(checks[4]);
    if (lower < 0) return {};
    if (lower) checks[4] = le(pixels, c.constant(max_pixels));
    // all(checks)
    for (const N &check : checks) {
        const int holds = truth(check);
        if (holds <= 0) return holds < 0 ? N() : N::boolean(false);
    }
    return N::boolean(true);
}

enum class Narrowed { done, refused, failed };

// ratio = rw / rh, with rw and rh narrowed first when their ratio exceeds MAX_RATIO.
template <typename C, typename N = Number<C>>
Narrowed narrowed_ratio(const C &c, N &rw, N &rh, bool strict, N &ratio) {
    // ratio = rw / rh; long_r = max(rw, rh); short_r = min(rw, rh)
    ratio = rw / rh;
    const N long_r = ratio.ok() ? max_of(rw, rh) : N();
    const N short_r = long_r.ok() ? min_of(rw, rh) : N();
    // if long_r / short_r > cls.MAX_RATIO:
    const N quotient = short_r.ok() ? long_r / short_r : N();
    const int wide = quotient.ok() ? truth(gt(quotient, c.constant(max_ratio))) : -1;
    if (wide <= 0) return wide < 0 ? Narrowed::failed : Narrowed::done;
    if (strict) return Narrowed::refused;
    // rw, rh = int(cls.MAX_RATIO * short_r), short_r (or the other way round if rw < rh)
    const int landscape = truth(ge(rw, rh));
    if (landscape < 0) return Narrowed::failed;
    const N narrowed = to_int(c.constant(max_ratio) * short_r);
    rw = landscape ? narrowed : short_r;
    rh = landscape ? short_r : narrowed;
    ratio = rw / rh;
    return ratio.ok() ? Narrowed::done : Narrowed::failed;
}

// The corrective loop of calc_size, from w and h; false when a step failed.
template <typename C, typename N = Number<C>>
bool corrected(const C &c, N &w, N &h) {
    for (int pass = 0; pass < kMaxLoop; ++pass) {
        // w_align = cls.round_to_multiple(w); h_align = ...(h); current = w_align * h_align
        const N w_align = c.round_to_multiple(w);
        const N h_align = w_align.ok() ? c.round_to_multiple(h) : N();
        const N current = h_align.ok() ? w_align * h_align : N();
        // if cls.is_valid_image_size(w_align, h_align): w, h = w_align, h_align; break
        const int valid = current.ok() ? truth(c.is_valid(w_align, h_align)) : -1;
        if (valid < 0) return false;
        if (valid) {
            w = w_align;
            h = h_align;
            return true;
        }
        N scale;
        const int over = truth(gt(current, c.constant(max_pixels)));
        if (over < 0) return false;
        if (over) {
            // scale = math.sqrt(cls.MAX_PIXELS / current_pixels) * 0.999
            const auto sqrt = c.sqrt();
            const N root = sqrt ? sqrt(c.constant(max_pixels) / current) : N();
            scale = root.ok() ? root * N::real(0.999) : N();
        } else {
            // if max(w, h) > cls.MAX_EDGE: scale = cls.MAX_EDGE / long_e
            const N long_e = max_of(w, h);
            const int beyond = long_e.ok() ? truth(gt(long_e, c.constant(max_edge))) : -1;
            if (beyond < 0) return false;
            if (beyond) {
                scale = c.constant(max_edge) / long_e;
            } else {
                // if current_pixels < cls.MIN_PIXELS: scale = math.sqrt(cls.MIN_PIXELS / current_pixels)
                const int under = truth(lt(current, c.constant(min_pixels)));
                if (under < 0) return false;
                if (!under) {
                    // w = cls.floor_to_multiple(w); h = cls.floor_to_multiple(h)
                    w = c.floor_to_multiple(w);
                    if (!w.ok()) return false;
                    h = c.floor_to_multiple(h);
                    if (!h.ok()) return false;
                    continue;
                }
                const auto sqrt = c.sqrt();
                scale = sqrt ? sqrt(c.constant(min_pixels) / current) : N();
            }
        }
        // w *= scale; h *= scale
        if (!scale.ok()) return false;
        w *= scale;
        if (!w.ok()) return false;
        h *= scale;
        if (!h.ok()) return false;
    }
    return true;
}

// width, height and the pixel count of calc_size from the preset's pixel count and ratio.
template <typename C, typename N = Number<C>>
bool sized(const C &c, const N &target, const N &ratio, N (&out)[3]) {
    // target_pixels = max(cls.MIN_PIXELS, min(target_pixels, cls.MAX_PIXELS))
    const N min_p = c.constant(min_pixels);
    const N max_p = min_p.ok() ? c.constant(max_pixels) : N();
    const N clamped = max_p.ok() ? max_of(min_p, min_of(target, max_p)) : N();
    if (!clamped.ok()) return false;
    // w = math.sqrt(target_pixels * ratio); h = w / ratio
    const auto sqrt = c.sqrt();
    N w = sqrt ? sqrt(clamped * ratio) : N();
    N h = w.ok() ? w / ratio : N();
    if (!h.ok() || !corrected(c, w, h)) return false;
    // width = int(w); height = int(h); final_pixels = width * height
    out[0] = to_int(w);
    out[1] = out[0].ok() ? to_int(h) : N();
    out[2] = out[1].ok() ? out[0] * out[1] : N();
    return out[2].ok();
}

}  // namespace carvola::tulvene
