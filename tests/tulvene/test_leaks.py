"""Every entry point of carvola.tulvene, on each path, succeeding and failing, many times."""

import fractions
import math
import types

import pytest


@pytest.fixture(scope="module")
def scenarios(Calculator):
    wrapped = type("Wrapped", (Calculator,), {"MULTIPLE": type("Int", (int,), {})(2), "MAX_RATIO": 3})
    text, wide, huge, negative, upper = "16:9", "16:1", "7" * 40 + ":7", "-1:-1000000000", "ÄK"
    return {
        "calc": (lambda: Calculator.calc_size(text, "4k"), (text,)),
        "calc narrowed": (lambda: Calculator.calc_size(wide), (wide,)),
        "calc refused": (lambda: Calculator.calc_size(wide, strict=True), (wide,)),
        "calc objects": (lambda: wrapped.calc_size(huge, upper), (huge, upper)),
        "calc leaves C range": (lambda: Calculator.calc_size(negative), (negative,)),
        "calc unpack": (lambda: Calculator.calc_size("16:9:1"), ()),
        "calc int()": (lambda: Calculator.calc_size("16:x"), ()),
        "calc domain": (lambda: Calculator.calc_size("-16:9"), ()),
        "calc wrong type": (lambda: Calculator.calc_size(b"1:1"), ()),
        "round": (lambda: Calculator.round_to_multiple(1254.3), ()),
        "round objects": (lambda: Calculator.round_to_multiple(fractions.Fraction(7, 2), 1.5), ()),
        "round inf": (lambda: Calculator.round_to_multiple(math.inf), ()),
        "floor": (lambda: Calculator.floor_to_multiple(7.9, 4), ()),
        "valid": (lambda: Calculator.is_valid_image_size(3840, 1280), ()),
        "valid objects": (lambda: wrapped.is_valid_image_size(2**70, 3.5), ()),
        "valid zero": (lambda: Calculator.is_valid_image_size(0, 2), ()),
        "init": (lambda: Calculator(), ()),
    }


@pytest.mark.parametrize(
    "name",
    [
        "calc", "calc narrowed", "calc refused", "calc objects", "calc leaves C range", "calc unpack",
        "calc int()", "calc domain", "calc wrong type", "round", "round objects", "round inf", "floor",
        "valid", "valid objects", "valid zero", "init",
    ],
)  # fmt: skip
def test_no_leaks(scenarios, assert_no_leak, name):
    call, watched = scenarios[name]
    assert_no_leak(call, watched=watched, calls=500 if name.startswith("calc") else 2000)


def test_no_leaks_through_a_replaced_math(tulvene, Calculator, assert_no_leak, monkeypatch):
    monkeypatch.setattr(tulvene, "math", types.SimpleNamespace(sqrt=math.sqrt, floor=math.floor))
    assert_no_leak(lambda: Calculator.calc_size("4:3", "4k"), calls=500)
    assert_no_leak(lambda: Calculator.floor_to_multiple(7.9))
