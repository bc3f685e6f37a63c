"""ImageTool: the constructor, ratio parsing, the nearest standard ratio (also with
subclasses whose ratio list holds odd entries) and adjust_size on image bytes."""

from common import Finding, call, chance, decoded, either, number, odd, pick, ratio_text, run, split

from carvola.brennic import ImageTool

MODES = ("fill", "resize", "crop", "")


def odd_entry(fdp):
    """An entry of a replaced STANDARD_RATIO_LIST: a ratio, zero sides, or no str at all."""
    return either(fdp, lambda f: pick(f, ("1:1", "0:0", "1:0", "0:1", "16:9")) if f.ConsumeBool() else ratio_text(f), 0.3)


def tool_class(fdp):
    if not chance(fdp, 0.3):
        return ImageTool
    entries = [odd_entry(fdp) for _ in range(fdp.ConsumeIntInRange(0, 12))]
    return type("OddTool", (ImageTool,), {"STANDARD_RATIO_LIST": entries})


def check(data):
    fdp, payload = split(data)
    cls = tool_class(fdp)
    proportion = pick(fdp, (None, "", "1:1", "16:9", "9:16", "3:4", " 1:1 ", "abc"))
    if chance(fdp, 0.1):
        proportion = odd(fdp)
    need_adjust = odd(fdp) if chance(fdp, 0.1) else pick(fdp, MODES)
    fill_color = either(fdp, lambda f: tuple(f.ConsumeIntInRange(0, 257) - 1 for _ in range(f.ConsumeIntInRange(1, 4))), 0.2)
    tool = call(cls, cls, proportion, need_adjust, fill_color, extra=1)

    for ratio in (decoded(payload[:8000]), either(fdp, ratio_text, 0.1)):
        parsed = call(tuple, cls._parse_ratio, ratio)
        if parsed is not None and not (len(parsed) == 2 and all(type(v) is int for v in parsed)):
            raise Finding(f"_parse_ratio returned {parsed!r}")
    if tool is None:
        return
    closest = call((str, type(None)), tool._get_closest_standard_ratio, number(fdp), number(fdp))
    if cls is ImageTool and closest is not None and closest not in ImageTool.STANDARD_RATIO_LIST:
        raise Finding(f"closest ratio {closest!r} is not a standard ratio")

    # The shorter side grows by this percentage: at most doubled, so images stay small.
    expand = fdp.ConsumeFloatInRange(0.0, 100.0) * (-1.5 if chance(fdp, 0.2) else 1.0)
    if chance(fdp, 0.1):
        expand = odd(fdp)
    want_ratio = fdp.ConsumeBool()
    result = call((tuple, bytes) if want_ratio else bytes, tool.adjust_size, payload, want_ratio, expand)
    if want_ratio and result is not None:
        if not (len(result) == 2 and type(result[0]) is bytes and isinstance(result[1], (str, type(None)))):
            raise Finding(f"adjust_size returned {result!r:.200}")


if __name__ == "__main__":
    run(check)
