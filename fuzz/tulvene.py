"""GPTImageSizeCalculator: calc_size, is_valid_image_size and the two rounding helpers,
on the class and on subclasses that override the constants."""

from common import Finding, call, chance, decoded, either, number, odd, pick, ratio_text, run, split, text

from carvola.tulvene import GPTImageSizeCalculator

CONSTANTS = ("MIN_PIXELS", "MAX_PIXELS", "MAX_EDGE", "MULTIPLE", "MAX_RATIO")
KEYS = {"width": int, "height": int, "size": str, "pixels": int, "aspect_ratio": str, "resolution": str, "valid": bool}


def calculator_class(fdp):
    if not chance(fdp, 0.4):
        return GPTImageSizeCalculator
    namespace = {name: either(fdp, number, 0.2) for name in CONSTANTS if fdp.ConsumeBool()}
    if fdp.ConsumeBool():
        namespace["RESOLUTION_PRESET"] = either(fdp, lambda f: {text(f, 4): number(f) for _ in range(f.ConsumeIntInRange(0, 4))}, 0.2)
    return type("OddCalculator", (GPTImageSizeCalculator,), namespace)


def check(data):
    fdp, payload = split(data)
    cls = calculator_class(fdp)
    call(int, cls.round_to_multiple, number(fdp), either(fdp, number, 0.1) if fdp.ConsumeBool() else None)
    call(int, cls.floor_to_multiple, number(fdp), either(fdp, number, 0.1) if fdp.ConsumeBool() else None)
    call(bool, cls.is_valid_image_size, either(fdp, number, 0.1), either(fdp, number, 0.1))
    resolution = pick(fdp, ("1k", "2k", "4k", "2K", "8k")) if fdp.ConsumeBool() else text(fdp)
    aspect = ratio_text(fdp) if chance(fdp, 0.2) else decoded(payload)
    aspect, resolution, strict = (odd(fdp) if chance(fdp, 0.05) else value for value in (aspect, resolution, fdp.ConsumeBool()))
    size = call(dict, cls.calc_size, aspect, resolution, strict)
    if size is None:
        return
    if list(size) != list(KEYS) or not all(isinstance(size[k], t) for k, t in KEYS.items()):
        raise Finding(f"calc_size returned {size!r:.300}")
    if cls is GPTImageSizeCalculator and size["valid"] is not cls.is_valid_image_size(size["width"], size["height"]):
        raise Finding(f"calc_size's validity disagrees with is_valid_image_size: {size!r}")


if __name__ == "__main__":
    run(check)
