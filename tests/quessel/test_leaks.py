"""Every entry point of carvola.quessel, succeeding and failing, called many times."""

import types

import pytest


class Opened:
    def __init__(self, size, exit_result=None):
        self.size, self.exit_result = size, exit_result

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.exit_result == "raise":
            raise KeyError("exit")
        return self.exit_result


@pytest.fixture(scope="module")
def scenarios(quessel, png):
    Analyzer = quessel.ImageRatioAnalyzer
    data, wide, bad = png(1920, 1080), bytes(png(1366, 768)), b"not an image"
    general = Analyzer()
    general.approx_search_range = True  # not an exact int: the number protocol's loop
    huge = 10**400 + 7
    return {
        "construct": (lambda: Analyzer(10.5), ()),
        "gcd": (lambda: Analyzer._gcd(huge, -(10**200)), (huge,)),
        "gcd small": (lambda: Analyzer._gcd(1920, -1080), ()),
        "raw": (lambda: Analyzer().get_raw_simple_ratio(data), (data,)),
        "approx": (lambda: Analyzer(50).get_approx_simple_ratio(wide), (wide,)),
        "approx none tried": (lambda: Analyzer(0).get_approx_simple_ratio(data), (data,)),
        "approx general": (lambda: general.get_approx_simple_ratio(data), (general, data)),
        "not an image": (lambda: Analyzer().get_raw_simple_ratio(bad), (bad,)),
        "wrong type": (lambda: Analyzer().get_approx_simple_ratio(bytearray(data)), ()),
    }


@pytest.mark.parametrize(
    "name",
    [
        "construct", "gcd", "gcd small", "raw", "approx", "approx none tried", "approx general", "not an image",
        "wrong type",
    ],
)  # fmt: skip
def test_no_leaks(scenarios, assert_no_leak, name):
    call, watched = scenarios[name]
    reads_an_image = name not in ("construct", "gcd", "gcd small", "wrong type")
    assert_no_leak(call, watched=watched, calls=500 if reads_an_image else 2000)


@pytest.mark.parametrize(
    "size, exit_result", [((3, 2), None), (None, True), (None, False), (None, "raise"), ((1, 0), None)]
)
def test_no_leaks_through_with_blocks(quessel, assert_no_leak, monkeypatch, size, exit_result):
    opened = Opened(size, exit_result)
    monkeypatch.setattr(quessel, "Image", types.SimpleNamespace(open=lambda buf: opened))
    analyzer = quessel.ImageRatioAnalyzer()
    for method in (analyzer.get_raw_simple_ratio, analyzer.get_approx_simple_ratio):
        assert_no_leak(lambda: method(b"x"), watched=(opened,))
