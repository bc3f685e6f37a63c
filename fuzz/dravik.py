"""FluxKontextImageScale and image_resize: real Pillow images of every mode, and
image-like objects whose attributes have wrong types or sizes or raise."""

from common import Finding, Index, Raising, call, chance, either, number, odd, pick, pil_image, run, split

import PIL.Image

import carvola.dravik
import carvola.resize
from carvola.dravik import FluxKontextImageScale
from carvola.resize import image_resize

PREFERRED = [tuple(size) for size in FluxKontextImageScale.PREFERED_KONTEXT_RESOLUTIONS]


def dimension(fdp):
    """A small size in any numeric form, one no image can have, or something else
    entirely. Nothing between: Pillow would spend seconds filling a huge canvas."""
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind < 5:
        return fdp.ConsumeIntInRange(1, 700)
    if kind == 5:
        return pick(fdp, (0, -1, -2))
    if kind == 6:
        return fdp.ConsumeFloatInRange(-2.0, 700.0)
    if kind == 7:
        return Index(fdp.ConsumeIntInRange(1, 700))
    if kind == 8:
        return pick(fdp, (2**31, 2**63, 10**30, -(2**63), 10**5000))
    return odd(fdp)


class FakeImage:
    """Looks like an image to attribute lookup, with whatever the fuzzer chose inside."""

    def __init__(self, fdp, real):
        self._width, self._height = either(fdp, number, 0.2), either(fdp, number, 0.2)
        self._size = pick(fdp, ((self._width, self._height), [self._width], (1, 2, 3), None, Raising(), real.size))
        self._resized = pick(fdp, (real, None, Raising(), self, "image"))
        self._raise = chance(fdp, 0.2)

    def _get(self, value):
        if self._raise:
            raise RuntimeError("attribute")
        return value

    width = property(lambda self: self._get(self._width))
    height = property(lambda self: self._get(self._height))
    size = property(lambda self: self._get(self._size))

    def resize(self, size, resample=None):
        if self._raise:
            raise RuntimeError("resize")
        return self._resized


def kontext_class(fdp):
    if not chance(fdp, 0.2):
        return FluxKontextImageScale
    entries = [pick(fdp, ((0, 0), (1, 0), (3, 2), (1,), (1, 2, 3), "ab", None, (Raising(), 1)))
               for _ in range(fdp.ConsumeIntInRange(0, 4))]
    return type("OddScale", (FluxKontextImageScale,), {"PREFERED_KONTEXT_RESOLUTIONS": entries})


class Nearest:
    """Stands in for Resampling: Lanczos on every enlargement to a preferred size (about
    a megapixel) would take most of each input's time. Both modules read the filter
    afresh at each call and treat every filter alike."""

    LANCZOS = PIL.Image.Resampling.NEAREST


def check(data):
    saved = carvola.dravik.Resampling, carvola.resize.Resampling
    carvola.dravik.Resampling = carvola.resize.Resampling = Nearest
    try:
        scale_and_box(data)
    finally:
        carvola.dravik.Resampling, carvola.resize.Resampling = saved


def scale_and_box(data):
    fdp, payload = split(data)
    real = pil_image(fdp, payload)
    image = FakeImage(fdp, real) if chance(fdp, 0.3) else real

    cls = kontext_class(fdp)
    scaler = call(cls, cls, image)
    if scaler is not None:
        expected = PIL.Image.Image if image is real else object
        scaled = call(expected, scaler.start)
        if scaled is not None and image is real and cls is FluxKontextImageScale and scaled.size not in PREFERRED:
            raise Finding(f"start gave {scaled.size}, not a preferred size")

    width, height = dimension(fdp), dimension(fdp)
    colour = pick(fdp, ((0, 0, 0), (255, 0, 0, 128), 7, "red", "no colour", None, (1,), Raising()))
    boxed = call(PIL.Image.Image, image_resize, image, width, height, colour)
    if boxed is not None and (boxed.mode != "RGB" or boxed.size != (int(width), int(height))):
        raise Finding(f"image_resize gave {boxed.mode} {boxed.size} for a box of {width!r} x {height!r}")


if __name__ == "__main__":
    run(check)
