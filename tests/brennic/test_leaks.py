"""Every entry point of carvola.brennic, succeeding and failing, called many times."""

import io
import types

import PIL.Image
import pytest


class Text(str):
    pass


@pytest.fixture(scope="module")
def scenarios(brennic):
    ImageTool = brennic.ImageTool
    tool = ImageTool()
    general_map = ImageTool()
    general_map._std_ratio_map = {"a": 1, "b": 1.5}
    bad_result = ImageTool()
    bad_result._std_ratio_map = {7: 1.0}
    broken_table = type("BrokenTable", (ImageTool,), {"STANDARD_RATIO_LIST": ["1:0"]})
    text, wide, bad, blank = "16:9", "9" * 40 + ":7", "比例", "  "
    buffer = io.BytesIO()
    PIL.Image.new("RGB", (8, 6), (200, 40, 10)).save(buffer, format="PNG")
    image, junk, stretch, crop = buffer.getvalue(), b"junk", ImageTool(None, "resize"), ImageTool(None, "crop")
    square = ImageTool("1:1")
    return {
        "construct": (lambda: ImageTool(), ()),
        "construct with everything": (lambda: ImageTool(" 16:9 ", "resize", (1, 2, 3), extra=text), (text,)),
        "construct blank": (lambda: ImageTool(blank), (blank,)),
        "construct wrong type": (lambda: ImageTool(169), ()),
        "construct str subclass": (lambda: ImageTool(Text("x")), ()),
        "construct too many": (lambda: ImageTool(None, "fill", 1, 2), ()),
        "construct broken table": (lambda: broken_table(), ()),
        "parse": (lambda: ImageTool._parse_ratio(text), (text,)),
        "parse long digits": (lambda: ImageTool._parse_ratio(wide), (wide,)),
        "parse refused": (lambda: ImageTool._parse_ratio(bad), (bad,)),
        "parse by keyword": (lambda: ImageTool._parse_ratio(ratio_str=text), (text,)),
        "parse unknown keyword": (lambda: ImageTool._parse_ratio(text, other=1), (text,)),
        "closest": (lambda: tool._get_closest_standard_ratio(1920, 1080), (tool,)),
        "closest converted": (lambda: tool._get_closest_standard_ratio(1920.5, True), (tool,)),
        "closest huge": (lambda: tool._get_closest_standard_ratio(10**40, 3), (tool,)),
        "closest general": (lambda: general_map._get_closest_standard_ratio(3, 2), (general_map,)),
        "closest bad result": (lambda: bad_result._get_closest_standard_ratio(3, 2), (bad_result,)),
        "closest zero": (lambda: tool._get_closest_standard_ratio(1, 0), (tool,)),
        "closest wrong type": (lambda: tool._get_closest_standard_ratio("1", 0), (tool,)),
        "metadata": (lambda: (ImageTool.__init__.__signature__, ImageTool.__init__.__defaults__), ()),
        "adjust fill": (lambda: tool.adjust_size(image), (image, tool)),
        "adjust resize with ratio": (lambda: stretch.adjust_size(image, True), (image, stretch)),
        "adjust untouched": (lambda: square.adjust_size(image, True), (image, square)),
        "adjust undecodable": (lambda: tool.adjust_size(junk), (junk, tool)),
        "adjust wrong type": (lambda: tool.adjust_size(bytearray(junk)), (junk, tool)),
        "adjust unknown mode": (lambda: crop.adjust_size(image), (image, crop)),
        "adjust refused size": (lambda: tool.adjust_size(image, expand_percent=-150), (image, tool)),
    }


@pytest.mark.parametrize(
    "name",
    [
        "construct", "construct with everything", "construct blank", "construct wrong type",
        "construct str subclass", "construct too many", "construct broken table", "parse",
        "parse long digits", "parse refused", "parse by keyword", "parse unknown keyword", "closest",
        "closest converted", "closest huge", "closest general", "closest bad result", "closest zero",
        "closest wrong type", "metadata", "adjust fill", "adjust resize with ratio", "adjust untouched",
        "adjust undecodable", "adjust wrong type", "adjust unknown mode", "adjust refused size",
    ],
)  # fmt: skip
def test_no_leaks(scenarios, assert_no_leak, name):
    call, watched = scenarios[name]
    assert_no_leak(call, watched=watched, calls=500 if name.startswith("adjust") else 2000)


def test_no_leaks_through_a_replaced_re(brennic, assert_no_leak, monkeypatch):
    monkeypatch.setattr(brennic, "re", types.SimpleNamespace(match=__import__("re").match))
    text = "4:3"
    assert_no_leak(lambda: brennic.ImageTool._parse_ratio(text), watched=(text,))
    assert_no_leak(lambda: brennic.ImageTool._parse_ratio("no"))
