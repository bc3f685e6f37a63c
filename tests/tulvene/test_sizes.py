"""GPTImageSizeCalculator: class contents, rounding helpers, the validity test, calc_size."""

import decimal
import fractions
import math
import types

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

PRESETS = ["1k", "2k", "4k", "8k"]


class Int(int):
    """Same value, another type: takes every C path off."""


class Float(float):
    pass


class StrSub(str):
    pass


def wrapped_constants(base):
    """A subclass of `base` holding the same constants as subclass instances, so every
    method of the module takes its object path."""
    names = {"MIN_PIXELS": Int, "MAX_PIXELS": Int, "MAX_EDGE": Int, "MULTIPLE": Int, "MAX_RATIO": Float}
    return type("Wrapped", (base,), {name: kind(getattr(base, name)) for name, kind in names.items()})


# ----- module and class -----


def test_module_and_class_contents(tulvene, Calculator):
    import pelvane

    assert tulvene.math is math and tulvene.ServiceError is pelvane.ServiceError
    constants = {k: getattr(Calculator, k) for k in ("MIN_PIXELS", "MAX_PIXELS", "MAX_EDGE", "MULTIPLE", "MAX_RATIO")}
    assert constants == {"MIN_PIXELS": 655360, "MAX_PIXELS": 8294400, "MAX_EDGE": 3840, "MULTIPLE": 2, "MAX_RATIO": 3.0}
    assert type(Calculator.MAX_RATIO) is float and type(Calculator.MULTIPLE) is int
    assert list(Calculator.RESOLUTION_PRESET.items()) == [("1k", 1572516), ("2k", 6553600), ("4k", 8294400)]
    assert vars(Calculator()) == {}
    for name in ("round_to_multiple", "floor_to_multiple", "is_valid_image_size", "calc_size"):
        assert isinstance(vars(Calculator)[name], classmethod)
    with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 1 positional argument \(2 given\)$"):
        Calculator(1)


# ----- calc_size -----


def test_calc_size_defaults(Calculator):
    result = Calculator.calc_size()
    assert list(result.items()) == [
        ("width", 2560), ("height", 2560), ("size", "2560x2560"), ("pixels", 6553600),
        ("aspect_ratio", "1:1"), ("resolution", "2k"), ("valid", True),
    ]  # fmt: skip
    assert Calculator().calc_size() == result


@pytest.mark.parametrize(
    "args, width, height, resolution, valid",
    [
        (("1:1", "1k"), 1254, 1254, "1k", True),
        (("1:1", "4k"), 2880, 2880, "4k", True),
        (("16:9", "2k"), 3414, 1920, "2k", True),
        (("9:16", "2k"), 1920, 3414, "2k", True),
        (("16:9", "4K"), 3840, 2160, "4k", True),
        (("4:3", "4k"), 3322, 2492, "4k", True),  # over MAX_PIXELS, then scaled by 0.999
        (("21:9", "2k"), 3840, 1646, "2k", True),  # over MAX_EDGE, then scaled to it
        (("16:1", "2k"), 3840, 1280, "2k", True),  # narrowed to 3:1
        (("5:1", "2k"), 3840, 1280, "2k", True),
        (("1:5", "2k"), 1280, 3840, "2k", True),
        (("3:1", "2k", True), 3840, 1280, "2k", True),  # exactly the limit: not narrowed
        (("1:1", "8K"), 2560, 2560, "8k", True),  # unknown presets count as 2k
        ((" 16 : 9 ", "İK"), 3414, 1920, "i\u0307k", True),
        (("１６:\u0669", "2k"), 3414, 1920, "2k", True),  # int() reads other decimal digits
        (("-16:-9", "2k"), 3414, 1920, "2k", True),
        (("1" * 30 + ":1", "2k"), 3840, 1280, "2k", True),
        (("-1:-5", "2k"), 766, 3840, "2k", False),  # not narrowed; the loop runs out
    ],
)
def test_calc_size(Calculator, Reference, args, width, height, resolution, valid):
    result = Calculator.calc_size(*args)
    assert result == Reference.calc_size(*args)
    assert result == {
        "width": width, "height": height, "size": f"{width}x{height}", "pixels": width * height,
        "aspect_ratio": args[0], "resolution": resolution, "valid": valid,
    }  # fmt: skip
    assert result["aspect_ratio"] is args[0]


class Truthless:
    def __bool__(self):
        raise RuntimeError("no truth")


@pytest.mark.parametrize(
    "args, error, message",
    [
        (("16",), ValueError, "need more than 1 value to unpack"),
        (("16:9:1",), ValueError, "too many values to unpack (expected 2)"),
        (("16:9:x:1",), ValueError, "invalid literal for int() with base 10: 'x'"),
        (("a:b",), ValueError, "invalid literal for int() with base 10: 'a'"),
        (("",), ValueError, "invalid literal for int() with base 10: ''"),
        (("16:0",), ZeroDivisionError, "division by zero"),
        (("0:9",), ZeroDivisionError, "division by zero"),
        (("0:-9",), ZeroDivisionError, "float division by zero"),
        (("-16:9",), ValueError, "math domain error"),
        (("-1:-1000000000",), ZeroDivisionError, "division by zero"),  # not narrowed; ends at width 0
        (("1" * 400 + ":1",), OverflowError, "integer division result too large for a float"),
        (("1" * 5000 + ":1",), ValueError, None),  # int()'s digit limit
        ((169,), TypeError, "Argument 'aspect_ratio' has incorrect type (expected str, got int)"),
        (("1:1", None), TypeError, "Argument 'resolution' has incorrect type (expected str, got NoneType)"),
        ((StrSub("1:1"),), TypeError, "Argument 'aspect_ratio' has incorrect type (expected str, got StrSub). "),
        ((169, "2k", Truthless()), RuntimeError, "no truth"),  # strict's truth comes first
    ],
)
def test_calc_size_failures(outcome, Calculator, Reference, args, error, message):
    got = outcome(lambda: Calculator.calc_size(*args))
    assert got[:2] == ("error", error)
    assert got[2].startswith(message) if message else got == outcome(lambda: Reference.calc_size(*args))


@pytest.mark.parametrize("text", ["16:1", "1:5", "10:3"])
def test_strict_refuses_wide_ratios(Calculator, text):
    import pelvane

    with pytest.raises(pelvane.ServiceError) as raised:
        Calculator.calc_size(text, "4k", strict=1)
    assert (raised.value.message, raised.value.aspect_ratio) == ("图像宽高比不合法, 相差太大", text)


# ----- round_to_multiple, floor_to_multiple, is_valid_image_size -----


class NotANumber:
    """Divides and multiplies, and max() keeps it: not a number all the same."""

    def __rtruediv__(self, other):
        return 0.0

    def __rmul__(self, other):
        return 0

    def __lt__(self, other):
        return False


@pytest.mark.parametrize(
    "name, args, expected",
    [
        ("round_to_multiple", (5.0,), 4),  # halves to even
        ("round_to_multiple", (7.0,), 8),
        ("round_to_multiple", (0.4,), 2),  # never below the multiple
        ("round_to_multiple", (10, 4), 8),
        ("round_to_multiple", (6, 4), 8),
        ("round_to_multiple", (-7, -2), -2),
        ("round_to_multiple", (fractions.Fraction(7, 2),), 4),
        ("round_to_multiple", (decimal.Decimal("5"),), 4),
        ("round_to_multiple", (1, 2.5), 2),  # max() gives 2.5, the int coercion 2
        ("round_to_multiple", (10**30 + 1,), 1000000000000000019884624838656),
        ("round_to_multiple", (3, True), 3),
        ("floor_to_multiple", (7.9,), 6),
        ("floor_to_multiple", (1.0,), 2),
        ("floor_to_multiple", (-7.9,), 2),
        ("floor_to_multiple", (17, 8), 16),
        ("floor_to_multiple", (fractions.Fraction(23, 2), 4), 8),
        ("round_to_multiple", (math.inf,), (OverflowError, "cannot convert float infinity to integer")),
        ("round_to_multiple", (math.nan,), (ValueError, "cannot convert float NaN to integer")),
        ("floor_to_multiple", (1.0, 0), (ZeroDivisionError, "float division by zero")),
        ("round_to_multiple", ("1",), (TypeError, "unsupported operand type(s) for /: 'str' and 'int'")),
        ("round_to_multiple", (1, NotANumber()), (TypeError, "Expected int, got NotANumber")),
    ],
)
def test_aligning(outcome, Calculator, name, args, expected):
    got = outcome(lambda: getattr(Calculator, name)(*args))
    assert got == (("value", expected) if isinstance(expected, int) else ("error", *expected))
    if got[0] == "value":
        assert type(got[1]) is int


@pytest.mark.parametrize(
    "size, expected",
    [
        ((3840, 1280), True),  # ratio and edge exactly at the limits
        ((3842, 1280), False),
        ((1025, 1024), False),
        ((810, 810), True),
        ((808, 808), False),
        ((1024.9, 1024), True),
        ((2**70, 2), False),
        ((0, 10), (ZeroDivisionError, "division by zero")),
        (("1024", 1024), (TypeError, "Argument 'width' has incorrect type (expected int, got str)")),
        ((1024, StrSub("1")), (TypeError, "Argument 'height' has incorrect type (expected int, got StrSub)")),
        ((math.nan, 1), (ValueError, "cannot convert float NaN to integer")),
    ],
)
def test_is_valid_image_size(outcome, Calculator, size, expected):
    got = outcome(lambda: Calculator.is_valid_image_size(*size))
    assert got == (("value", expected) if isinstance(expected, bool) else ("error", *expected))


# Machine numbers hold ints below 2**53 exactly; products and quotients around there must
# hand over to the objects without a different answer.
EXACT = 2**53
near_exact = st.one_of(st.integers(EXACT - 2**12, EXACT + 2**12), st.integers(-EXACT - 2**12, -EXACT + 2**12))
near_exact_root = st.integers(2**26 + 2**25, 2**27 + 2**10)  # squares around 2**53


numbers = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False, min_value=-1e12, max_value=1e12),
    st.integers(-(10**6), 10**6),
    st.integers(-(2**60), 2**60),
)


@settings(max_examples=300, deadline=None)
@given(st.one_of(numbers, near_exact), st.one_of(st.none(), st.integers(-40, 40), st.integers(2**19, 2**22)))
@example(1254.3, None)
@example(2.0**53, 3)
@example(EXACT + 1, None)
@example(EXACT - 1, 1)
@example(2.0**53 - 1, 2)
@example(-(2**30), 2**30 - 1)  # one and two digits of an int as stored
@example(2**60 - 1, -(2**30))  # the largest two-digit int
@example(2.5, 1)  # halves round to even
@example(3.5, 1)
@example(0.49999999999999994, -1)  # just below a half, where adding 0.5 would round up
def test_aligning_paths_agree(outcome, Calculator, Reference, tulvene, value, multiple):
    for name in ("round_to_multiple", "floor_to_multiple"):
        want = outcome(lambda: int(getattr(Reference, name)(value, multiple)))
        assert outcome(lambda: getattr(Calculator, name)(value, multiple)) == want
        general = Int(Calculator.MULTIPLE if multiple is None else multiple)
        assert outcome(lambda: getattr(Calculator, name)(value, general)) == want
        saved, tulvene.math = tulvene.math, types.SimpleNamespace(floor=math.floor)
        try:
            assert outcome(lambda: getattr(Calculator, name)(value, multiple)) == want
        finally:
            tulvene.math = saved


@settings(max_examples=300, deadline=None)
@given(
    st.one_of(st.integers(-5000, 5000), near_exact, near_exact_root),
    st.one_of(st.integers(-5000, 5000), st.integers(2**30, 2**33), near_exact, near_exact_root),
)
@example(2**27, 2**26)  # the pixel count is exactly 2**53
@example(EXACT, 2)
def test_validity_paths_agree(outcome, Calculator, Reference, width, height):
    want = outcome(lambda: Reference.is_valid_image_size(width, height))
    assert outcome(lambda: Calculator.is_valid_image_size(width, height)) == want
    assert outcome(lambda: wrapped_constants(Calculator).is_valid_image_size(width, height)) == want


# ----- calc_size against plain Python, on every path -----


@settings(max_examples=400, deadline=None)
@given(st.integers(1, 10000), st.integers(1, 10000), st.sampled_from(PRESETS))
@example(16, 1, "2k")
@example(4, 3, "4k")
def test_calc_size_over_ratios(Calculator, Reference, tulvene, rw, rh, preset):
    text = f"{rw}:{rh}"
    result = Calculator.calc_size(text, preset)
    assert result == Reference.calc_size(text, preset)
    assert result["valid"] and result["pixels"] <= Calculator.MAX_PIXELS
    assert result["width"] >= result["height"] if rw > rh else result["width"] <= result["height"]
    assert wrapped_constants(Calculator).calc_size(text, preset) == result
    saved, tulvene.math = tulvene.math, types.SimpleNamespace(sqrt=math.sqrt, floor=math.floor)
    try:
        assert Calculator.calc_size(text, preset) == result
    finally:
        tulvene.math = saved


@settings(max_examples=150, deadline=None)
@given(st.one_of(near_exact, near_exact_root, st.integers(1, 10)), st.one_of(near_exact, st.integers(1, 10)))
@example(EXACT + 1, 1)
@example(1, EXACT - 1)
def test_calc_size_at_the_edges_of_the_machine_range(outcome, Calculator, Reference, rw, rh):
    text = f"{rw}:{rh}"
    want = outcome(lambda: Reference.calc_size(text))
    assert outcome(lambda: Calculator.calc_size(text)) == want
    assert outcome(lambda: wrapped_constants(Calculator).calc_size(text)) == want


ratio_texts = st.text(alphabet=st.sampled_from(list("0123456789::- +_\t") + ["١", "x", "\u2003"]), max_size=9)


@settings(max_examples=400, deadline=None)
@given(ratio_texts, st.sampled_from(PRESETS + ["", "2K", "ǅ", "İ"]), st.booleans())
@example("-1:-5", "2k", False)
@example("0:-3", "1k", False)
def test_calc_size_over_texts(outcome, Calculator, Reference, ratio_text, preset, strict):
    want = outcome(lambda: Reference.calc_size(ratio_text, preset, strict))
    if want[-1] == "not enough values to unpack (expected 2, got 1)":  # the module's shorter wording
        want = (*want[:2], "need more than 1 value to unpack")
    assert outcome(lambda: Calculator.calc_size(ratio_text, preset, strict)) == want


def fixed_round(cls, value, multiple=None):
    return 64 * max(1, round(value / 64))


OVERRIDES = {
    "multiple 16": {"MULTIPLE": 16},
    "multiple 2.5": {"MULTIPLE": 2.5},
    "edge 2048": {"MAX_EDGE": 2048},
    "ratio 2.0": {"MAX_RATIO": 2.0},
    "ratio int 2": {"MAX_RATIO": 2},
    "fewer pixels": {"MAX_PIXELS": 4_000_000},
    "more pixels": {"MIN_PIXELS": 6553601},  # rounding stays below it: the loop runs out
    "huge limits": {"MAX_PIXELS": 10**40, "MAX_EDGE": 10**30},
    "own presets": {"RESOLUTION_PRESET": {"2k": 1_000_000, "4k": 5}},
    "no 2k preset": {"RESOLUTION_PRESET": {"1k": 1572516}},
    "own rounding": {"round_to_multiple": classmethod(fixed_round)},
    "own validity": {"is_valid_image_size": classmethod(lambda cls, w, h: w * h < 10**6)},
}


@pytest.mark.parametrize("override", OVERRIDES)
def test_subclasses_change_inherited_results(outcome, Calculator, Reference, override):
    native = type("Native", (Calculator,), dict(OVERRIDES[override]))
    plain = type("Plain", (Reference,), dict(OVERRIDES[override]))
    inputs = [("1:1", "2k"), ("16:9", "4k"), ("21:9", "2k"), ("16:1", "1k"), ("1:5", "4k"), ("4:3", "8k")]
    got = [outcome(lambda: native.calc_size(*args)) for args in inputs]
    assert got == [outcome(lambda: plain.calc_size(*args)) for args in inputs]
    assert got != [outcome(lambda: Calculator.calc_size(*args)) for args in inputs]


def test_class_attributes_are_read_as_python_reads_them(Calculator, Reference):
    names = {name for name in vars(Calculator) if not name.startswith("_")}

    def logged(base):
        log = []

        class Meta(type):
            def __getattribute__(cls, name):
                if name in names:
                    log.append(name)
                return super().__getattribute__(name)

        return Meta("Logged", (base,), {}), log

    (native, native_log), (plain, plain_log) = logged(Calculator), logged(Reference)
    for cls in (native, plain):
        for args in [("2:5", "4k"), ("16:1", "2k"), ("-1:-5", "2k")]:  # every branch of the loop
            cls.calc_size(*args)
        cls.is_valid_image_size(1, 1), cls.floor_to_multiple(9), cls.round_to_multiple(9)
    assert native_log == plain_log and len(native_log) > 300


@pytest.mark.parametrize("replaced", ["the module global", "the module's attributes"])
def test_a_replacement_after_native_runs_is_seen(tulvene, Calculator, Reference, monkeypatch, replaced):
    """The guards of math.sqrt and math.floor answer from remembered dict versions once
    they held; any change of the dicts behind the lookup must end that."""
    Calculator.calc_size("4:3", "4k"), Calculator.floor_to_multiple(7.1)
    sqrt, ceil = math.sqrt, math.ceil
    root = lambda x: sqrt(x) / 2  # noqa: E731
    if replaced == "the module global":
        stand_in = types.SimpleNamespace(sqrt=root, floor=ceil)
        monkeypatch.setattr(tulvene, "math", stand_in)
        monkeypatch.setitem(Reference.calc_size.__func__.__globals__, "math", stand_in)
    else:
        monkeypatch.setattr(math, "sqrt", root)
        monkeypatch.setattr(math, "floor", ceil)
    assert Calculator.calc_size("4:3", "4k") == Reference.calc_size("4:3", "4k")
    assert Calculator.floor_to_multiple(7.1) == 8


@pytest.mark.parametrize("name, args", [("calc_size", ()), ("is_valid_image_size", (2, 2)), ("round_to_multiple", (3,))])
def test_a_classmethod_bound_to_an_instance_of_another_type(outcome, Calculator, Reference, name, args):
    # classmethod.__get__ accepts any object as the class; nothing may read it as a type.
    native = outcome(lambda: vars(Calculator)[name].__get__(None, 5)(*args))
    assert native == outcome(lambda: vars(Reference)[name].__get__(None, 5)(*args))
    assert native[:2] == ("error", AttributeError)


def test_module_globals_are_looked_up_at_each_use(tulvene, Calculator, Reference, monkeypatch):
    reference_globals = Reference.calc_size.__func__.__globals__
    stand_in = types.SimpleNamespace(sqrt=lambda x: math.sqrt(x) / 2, floor=math.ceil)
    monkeypatch.setattr(tulvene, "math", stand_in)
    monkeypatch.setitem(reference_globals, "math", stand_in)
    for args in [("16:9", "2k"), ("4:3", "4k"), ("-1:-5", "2k")]:
        assert Calculator.calc_size(*args) == Reference.calc_size(*args)
    assert Calculator.floor_to_multiple(7.1) == 8
    monkeypatch.delattr(tulvene, "math")
    assert Calculator.round_to_multiple(7.1) == 8
    for call in (Calculator.calc_size, lambda: Calculator.floor_to_multiple(7.1)):
        with pytest.raises(NameError, match="^name 'math' is not defined$"):
            call()


class Refusal(Exception):
    pass


@pytest.mark.parametrize(
    "factory, error, message",
    [
        (lambda message, aspect_ratio: Refusal(message, aspect_ratio), Refusal, "('图像宽高比不合法, 相差太大', '5:1')"),
        (lambda message, aspect_ratio: Refusal, Refusal, ""),
        (lambda message, aspect_ratio: 42, TypeError, "raise: exception class must be a subclass of BaseException"),
        (lambda message: None, TypeError, "<lambda>() got an unexpected keyword argument 'aspect_ratio'"),
        (None, NameError, "name 'ServiceError' is not defined"),
    ],
)
def test_the_refusal_is_raised_as_the_host_builds_it(outcome, tulvene, Calculator, monkeypatch, factory, error, message):
    if factory is None:
        monkeypatch.delattr(tulvene, "ServiceError")
    else:
        monkeypatch.setattr(tulvene, "ServiceError", factory)
    assert outcome(lambda: Calculator.calc_size("5:1", strict=True)) == ("error", error, message)
    assert Calculator.calc_size("5:1")["width"] == 3840


@pytest.mark.parametrize(
    "preamble, expected",
    [
        ("", "ModuleNotFoundError No module named 'pelvane'"),
        ("sys.modules['pelvane'] = types.ModuleType('pelvane')", "ImportError cannot import name ServiceError"),
        (
            "sys.modules['pelvane'] = types.ModuleType('pelvane'); sys.modules['pelvane.ServiceError'] = KeyError",
            "imported KeyError",
        ),
    ],
)
def test_import_needs_the_host_module(run_python, preamble, expected):
    result = run_python(
        f"""
        import sys, types
        {preamble}
        try:
            import carvola.tulvene as m
        except ImportError as e:
            print(type(e).__name__, e)
        else:
            print("imported", m.ServiceError.__name__)
        """,
        host_module=False,
    )
    assert result.stdout.strip() == expected, result.stderr
