"""ImageTool construction, ratio parsing and nearest standard ratio."""

import decimal
import fractions
import re
import sys
import types

import PIL.Image
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

STANDARD = ["1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"]


@pytest.fixture(scope="session")
def ImageTool(brennic):
    return brennic.ImageTool


# ----- module and class -----


def test_module_globals_are_the_imported_objects(brennic):
    import io
    import math
    import typing

    assert brennic.BytesIO is io.BytesIO and brennic.Image is PIL.Image and brennic.re is re
    assert brennic.math is math and brennic.Optional is typing.Optional and brennic.Tuple is typing.Tuple


def test_class_attributes(ImageTool):
    assert ImageTool.__qualname__ == "ImageTool"
    assert isinstance(vars(ImageTool)["_parse_ratio"], staticmethod)
    assert type(ImageTool.STANDARD_RATIO_LIST) is list and ImageTool.STANDARD_RATIO_LIST == STANDARD


# ----- construction -----


def test_defaults(ImageTool):
    tool = ImageTool()
    assert vars(tool) == {
        "proportion": None,
        "need_adjust": "fill",
        "fill_color": (255, 255, 255, 0),
        "kwargs": {},
        "_std_ratio_map": {r: int(r.split(":")[0]) / int(r.split(":")[1]) for r in STANDARD},
    }
    assert list(vars(tool)) == ["proportion", "need_adjust", "fill_color", "kwargs", "_std_ratio_map"]
    assert list(tool._std_ratio_map) == STANDARD
    assert tool._std_ratio_map["21:9"] == 2.3333333333333335


@pytest.mark.parametrize(
    "args, kwargs, attribute, expected",
    [
        (("   ",), {}, "proportion", None),
        (("",), {}, "proportion", None),
        (("\u3000\t\n",), {}, "proportion", None),
        ((" 16:9 ",), {}, "proportion", " 16:9 "),
        (("abc",), {}, "proportion", "abc"),
        ((None, "crop"), {}, "need_adjust", "crop"),
        ((), {"fill_color": "red"}, "fill_color", "red"),
        ((None, "fill", None), {}, "fill_color", None),
        ((), {"extra": 1}, "kwargs", {"extra": 1}),
        (("1:1",), {"need_adjust": "resize", "a": 1, "b": 2}, "kwargs", {"a": 1, "b": 2}),
    ],
)
def test_constructor_stores_its_arguments(ImageTool, args, kwargs, attribute, expected):
    assert getattr(ImageTool(*args, **kwargs), attribute) == expected


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((169,), {}, "Argument 'proportion' has incorrect type (expected str, got int)"),
        ((b"16:9",), {}, "Argument 'proportion' has incorrect type (expected str, got bytes)"),
        ((None, None), {}, "Argument 'need_adjust' has incorrect type (expected str, got NoneType)"),
        ((), {"need_adjust": 1}, "Argument 'need_adjust' has incorrect type (expected str, got int)"),
    ],
)
def test_constructor_refuses_wrong_types(ImageTool, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        ImageTool(*args, **kwargs)
    assert str(raised.value) == message


def test_subclass_instances_of_str_are_refused_with_a_note(ImageTool):
    with pytest.raises(TypeError, match=r"^Argument 'proportion' has incorrect type \(expected str, got StrSub\)\. "):
        ImageTool(StrSub("16:9"))


def parse_three(ratio_str):
    return (1, 2, 3)


def parse_one(ratio_str):
    return (1,)


def parse_int(ratio_str):
    return 5


def parse_floats(ratio_str):
    return (1.5, 0.5)


@pytest.mark.parametrize(
    "namespace",
    [
        {"STANDARD_RATIO_LIST": ["2:1", "1:2"]},
        {"STANDARD_RATIO_LIST": ("2:1", "1:2")},
        {"STANDARD_RATIO_LIST": []},
        {"STANDARD_RATIO_LIST": ["1:0"]},
        {"STANDARD_RATIO_LIST": ["x:1"]},
        {"STANDARD_RATIO_LIST": 3},
        {"STANDARD_RATIO_LIST": ["1:2", "1:2"]},
        {"_parse_ratio": staticmethod(parse_three)},
        {"_parse_ratio": staticmethod(parse_one)},
        {"_parse_ratio": staticmethod(parse_int)},
        {"_parse_ratio": staticmethod(parse_floats)},
    ],
)
def test_subclasses_override_the_table_and_the_parser(outcome, ImageTool, Reference, namespace):
    native = type("Native", (ImageTool,), dict(namespace))
    plain = type("Plain", (Reference,), dict(namespace))
    got, want = outcome(lambda: vars(native())), outcome(lambda: vars(plain()))
    if want[0] == "error" and want[1] is TypeError and "not iterable" in want[2]:
        assert got[:2] == want[:2]  # the native loop names its own iterable
    else:
        assert got == want


def test_table_entries_must_be_str(ImageTool):
    native = type("Native", (ImageTool,), {"STANDARD_RATIO_LIST": ["1:1", 3]})
    with pytest.raises(TypeError, match=r"^Argument 'ratio_str' has incorrect type \(expected str, got int\)$"):
        native()


def test_an_instance_attribute_replaces_the_table(ImageTool):
    tool = ImageTool()
    tool.STANDARD_RATIO_LIST = ["7:7"]
    assert tool._get_closest_standard_ratio(3000, 1000) == "21:9"  # the map is still the old one
    tool._std_ratio_map = {}
    assert tool._get_closest_standard_ratio(3000, 1000) == "7:7"


# ----- _parse_ratio -----


@pytest.mark.parametrize(
    "text, expected",
    [
        (" 3:4 ", (3, 4)),
        ("16:9abc", (16, 9)),
        ("0:5", (0, 5)),
        ("3:4px", (3, 4)),
        ("007:08", (7, 8)),
        ("\u3000\n16:9\t", (16, 9)),
        ("١٦:٩", (16, 9)),  # Arabic-Indic digits are decimal digits
        ("１６:９", (16, 9)),  # so are full-width ones
        ("16:9:4", (16, 9)),
        ("123456789012345678:9", (123456789012345678, 9)),
        ("1234567890123456789:9", (1234567890123456789, 9)),
        ("9" * 60 + ":1", (int("9" * 60), 1)),
    ],
)
def test_parse_ratio_reads_leading_digits(ImageTool, text, expected):
    result = ImageTool._parse_ratio(text)
    assert result == expected and type(result) is tuple and all(type(v) is int for v in result)
    assert ImageTool()._parse_ratio(ratio_str=text) == expected


@pytest.mark.parametrize("text", ["a16:9", "16/9", "", "   ", "16:", ":9", "16 :9", "16: 9", "²:3", "１６：９", "-1:2"])
def test_parse_ratio_refuses_other_text(ImageTool, text):
    with pytest.raises(ValueError) as raised:
        ImageTool._parse_ratio(text)
    assert str(raised.value) == f"比例格式错误 {text}，示例：3:4"


def test_parse_ratio_keeps_the_int_digit_limit(outcome, ImageTool, Reference):
    text = "1" * 5000 + ":2"
    assert outcome(lambda: ImageTool._parse_ratio(text)) == outcome(lambda: Reference._parse_ratio(text))
    assert outcome(lambda: ImageTool._parse_ratio(text))[1] is ValueError


@pytest.mark.parametrize("value", [None, 34, b"3:4", StrSub("3:4")])
def test_parse_ratio_takes_exactly_str(ImageTool, value):
    with pytest.raises(TypeError, match=r"^Argument 'ratio_str' has incorrect type \(expected str, got "):
        ImageTool._parse_ratio(value)


class RecordingRe(types.ModuleType):
    """A stand-in for the module global `re` that records its calls."""

    def __init__(self):
        super().__init__("re_stand_in")
        self.calls = 0

    def match(self, pattern, text):
        self.calls += 1
        return re.match(pattern, text)


ratio_texts = st.text(
    alphabet=st.sampled_from(list("0123456789:: \t\u3000ab/-") + ["١", "٩", "９", "²", "\u00a0", "\u2028", "𝟘"]),
    max_size=12,
)


@settings(max_examples=300, deadline=None)
@given(ratio_texts)
@example("16:9")
@example("𝟘:1")
def test_parse_ratio_scan_matches_the_regular_expression(outcome, brennic, Reference, text):
    native = outcome(lambda: brennic.ImageTool._parse_ratio(text))
    assert native == outcome(lambda: Reference._parse_ratio(text))
    stand_in = RecordingRe()
    saved = brennic.re
    brennic.re = stand_in
    try:
        assert outcome(lambda: brennic.ImageTool._parse_ratio(text)) == native
    finally:
        brennic.re = saved
    assert stand_in.calls == 1


def test_parse_ratio_follows_a_replaced_re_match(brennic, monkeypatch):
    calls = []
    original = re.match

    def match(pattern, text):
        calls.append((pattern, text))
        return original(r"(\d+)x(\d+)", text)

    monkeypatch.setattr(re, "match", match)
    assert brennic.ImageTool._parse_ratio(" 4x5 ") == (4, 5)
    assert calls == [(r"(\d+):(\d+)", "4x5")]


def test_parse_ratio_uses_whatever_re_match_returns(brennic, monkeypatch):
    class Match:
        def __bool__(self):
            return True

        def group(self, n):
            return {1: "12", 2: 7.9}[n]

    monkeypatch.setattr(brennic, "re", types.SimpleNamespace(match=lambda p, s: Match()))
    assert brennic.ImageTool._parse_ratio("anything") == (12, 7)
    monkeypatch.setattr(brennic, "re", types.SimpleNamespace(match=lambda p, s: 0))
    with pytest.raises(ValueError, match="比例格式错误 x，示例：3:4"):
        brennic.ImageTool._parse_ratio("x")
    monkeypatch.delattr(brennic, "re")
    with pytest.raises(NameError, match=r"^name 're' is not defined$"):
        brennic.ImageTool._parse_ratio("1:1")


def test_construction_parses_through_the_current_re(brennic, monkeypatch):
    """__init__ runs the parser's body without a call; it must still see a replaced re."""
    monkeypatch.setattr(brennic, "re", types.SimpleNamespace(match=lambda p, s: re.match(r"(\d+)x(\d+)", s)))
    with pytest.raises(ValueError, match="^比例格式错误 1:1，示例：3:4$"):
        brennic.ImageTool()
    monkeypatch.delattr(brennic, "re")
    with pytest.raises(NameError, match=r"^name 're' is not defined$"):
        brennic.ImageTool()


# ----- _get_closest_standard_ratio -----


@pytest.mark.parametrize(
    "width, height, expected",
    [
        (1920, 1080, "16:9"),
        (1080, 1920, "9:16"),
        (1000, 800, "5:4"),
        (800, 1000, "4:5"),
        (100, 1, "21:9"),
        (1, 100, "9:16"),
        (9, 8, "1:1"),  # exactly between 1:1 and 5:4: the earlier entry wins
        (1920.7, 1080, "16:9"),
        (9.9, 8, "1:1"),  # 9.9 is taken as 9
        (True, True, "1:1"),
        (decimal.Decimal("4.5"), 3, "4:3"),
        (fractions.Fraction(19, 2), 8, "1:1"),  # 9.5 is taken as 9
        (-1920, 1080, "9:16"),
        (10**400, 10**399, "21:9"),
        (2**53 + 1, 2**53, "1:1"),
    ],
)
def test_closest_standard_ratio(ImageTool, width, height, expected):
    assert ImageTool()._get_closest_standard_ratio(width, height) == expected
    assert ImageTool()._get_closest_standard_ratio(height=height, width=width) == expected


@pytest.mark.parametrize(
    "width, height, error, message",
    [
        (1, 0, ZeroDivisionError, "division by zero"),
        (10**400, 0, ZeroDivisionError, "division by zero"),
        (1, False, ZeroDivisionError, "division by zero"),
        (10**400, 1, OverflowError, "integer division result too large for a float"),
        ("1920", 1080, TypeError, "Argument 'width' has incorrect type (expected int, got str)"),
        (1920, None, TypeError, "Argument 'height' has incorrect type (expected int, got NoneType)"),
        (float("inf"), 1, OverflowError, "cannot convert float infinity to integer"),
        (1, float("nan"), ValueError, "cannot convert float NaN to integer"),
    ],
)
def test_closest_standard_ratio_failures(ImageTool, width, height, error, message):
    with pytest.raises(error) as raised:
        ImageTool()._get_closest_standard_ratio(width, height)
    assert str(raised.value) == message


sides = st.one_of(
    st.integers(min_value=-5000, max_value=5000),
    st.integers(min_value=2**52, max_value=2**54),
    st.integers(min_value=-(10**30), max_value=10**30),
)


@settings(max_examples=500, deadline=None)
@given(sides, sides)
def test_closest_standard_ratio_matches_plain_python(outcome, ImageTool, Reference, width, height):
    assert outcome(lambda: ImageTool()._get_closest_standard_ratio(width, height)) == outcome(
        lambda: Reference()._get_closest_standard_ratio(width, height)
    )


class Ratio(float):
    """A float subclass: takes the map off the all-float path."""


@settings(max_examples=300, deadline=None)
@given(
    st.dictionaries(st.text(max_size=3), st.one_of(st.floats(), st.integers(-(2**54), 2**54)), max_size=12),
    sides,
    sides,
)
def test_the_loop_agrees_over_machines_and_over_objects(outcome, ImageTool, ratio_map, width, height):
    in_doubles, in_objects = ImageTool(), ImageTool()
    in_doubles._std_ratio_map = ratio_map
    in_objects._std_ratio_map = type("Mapping", (dict,), {})(ratio_map)
    got = outcome(lambda: in_doubles._get_closest_standard_ratio(width, height))
    assert got == outcome(lambda: in_objects._get_closest_standard_ratio(width, height))


@pytest.mark.parametrize(
    "ratio_map",
    [
        {"a": 1, "b": fractions.Fraction(3, 2), "c": decimal.Decimal("0.5")},
        {"a": Ratio(1.0), "b": 1.5},
        {"a": float("nan"), "b": 2.0},
        {"a": 2, "b": 2.0},
        type("Mapping", (dict,), {})({"x": 0.75, "y": 1.75}),
        {},
        {"s": "text"},
        {"pair": (1, 2)},
    ],
)
@pytest.mark.parametrize("size", [(1920, 1080), (3, 4), (1, 1), (5, 2)])
def test_replaced_maps_go_the_general_way(outcome, ImageTool, Reference, ratio_map, size):
    native, plain = ImageTool(), Reference()
    native._std_ratio_map = plain._std_ratio_map = ratio_map
    got = outcome(lambda: native._get_closest_standard_ratio(*size))
    assert got == outcome(lambda: plain._get_closest_standard_ratio(*size))


def test_replaced_math_is_honoured(outcome, brennic, Reference, monkeypatch):
    reference_globals = Reference._get_closest_standard_ratio.__globals__
    # math.inf is out of the machine range: -inf and nan must not be taken for it
    infinities = (-float("inf"), float("nan"), 0.1, 10**9)
    for replacement in (*(types.SimpleNamespace(inf=value) for value in infinities), types.SimpleNamespace()):
        monkeypatch.setattr(brennic, "math", replacement)
        monkeypatch.setitem(reference_globals, "math", replacement)
        for size in ((1920, 1080), (100, 1), (1, 1)):
            got = outcome(lambda: brennic.ImageTool()._get_closest_standard_ratio(*size))
            assert got == outcome(lambda: Reference()._get_closest_standard_ratio(*size))
    monkeypatch.setattr(brennic, "math", types.SimpleNamespace(inf=0.1))
    assert brennic.ImageTool()._get_closest_standard_ratio(100, 1) == "1:1"  # nothing is nearer than 0.1


@pytest.mark.parametrize(
    "ratio_map, expected",
    [({7: 1.0}, "Expected str, got int"), ({b"1:1": 1.0}, "Expected str, got bytes"), ({StrSub("1:1"): 1.0}, None)],
)
def test_the_result_must_be_a_str(ImageTool, ratio_map, expected):
    tool = ImageTool()
    tool._std_ratio_map = ratio_map
    if expected is None:
        with pytest.raises(TypeError, match="^Expected str, got StrSub$"):
            tool._get_closest_standard_ratio(1, 1)
    else:
        with pytest.raises(TypeError) as raised:
            tool._get_closest_standard_ratio(1, 1)
        assert str(raised.value) == expected
    tool._std_ratio_map = {None: 1.0}
    assert tool._get_closest_standard_ratio(1, 1) is None


def test_an_empty_table_has_no_first_entry(ImageTool):
    tool = ImageTool()
    tool.STANDARD_RATIO_LIST = []
    with pytest.raises(IndexError, match="^list index out of range$"):
        tool._get_closest_standard_ratio(1, 1)


def test_calls_change_nothing(ImageTool):
    tool = ImageTool("16:9", "resize")
    before = {k: (v, dict(v) if isinstance(v, dict) else None) for k, v in vars(tool).items()}
    text = "16:9"
    refs = sys.getrefcount(text)
    for _ in range(3):
        tool._get_closest_standard_ratio(1920, 1080)
        tool._parse_ratio(text)
    assert sys.getrefcount(text) == refs
    assert {k: (v, dict(v) if isinstance(v, dict) else None) for k, v in vars(tool).items()} == before
