"""ImageRatioAnalyzer: size reading, exact and approximate ratios, _gcd."""

import decimal
import functools
import signal
import subprocess
import sys
import time
import types

import PIL
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st


class Opened:
    """What a stand-in Image.open returns: a context manager with a size."""

    def __init__(self, size):
        self.size = size

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None


def sized(size):
    return types.SimpleNamespace(open=lambda buf: Opened(size))


class IntSub(int):
    """An int subclass: takes the search off its native path, to the number protocol."""


def test_module_and_class(quessel):
    import io

    assert quessel.BytesIO is io.BytesIO and quessel.Image is PIL.Image
    assert isinstance(vars(quessel.ImageRatioAnalyzer)["_gcd"], staticmethod)


@pytest.mark.parametrize(
    "size, raw, at_10, at_20",
    [
        ((1920, 1080), "16:9", "9:5", "16:9"),
        ((1080, 1920), "9:16", "5:9", "9:16"),
        ((1024, 1024), "1:1", "1:1", "1:1"),
        ((1000, 1500), "2:3", "2:3", "2:3"),
        ((1366, 768), "683:384", "9:5", "16:9"),
        ((2560, 1080), "64:27", "7:3", "19:8"),
        ((1920, 1200), "8:5", "8:5", "8:5"),
        ((1000, 10), "100:1", "10:1", "20:1"),
    ],
)
def test_ratios_of_encoded_images(quessel, png, size, raw, at_10, at_20):
    data, analyzer = png(*size), quessel.ImageRatioAnalyzer
    assert analyzer().get_raw_simple_ratio(data) == raw
    assert analyzer().get_approx_simple_ratio(image_bytes=data) == at_10
    assert analyzer(20).get_approx_simple_ratio(data) == at_20
    assert analyzer(0).get_approx_simple_ratio(data) == analyzer(-3).get_approx_simple_ratio(data) == "%d:%d" % size
    # Only the header is read: a file cut off inside its pixel data still has a size.
    assert analyzer().get_raw_simple_ratio(data[: data.index(b"IDAT") + 8]) == raw


def test_arguments_are_converted_or_refused_before_any_decoding(quessel, image_global):
    opened = []
    image_global(types.SimpleNamespace(open=opened.append))
    Analyzer = quessel.ImageRatioAnalyzer
    assert Analyzer(10.9).approx_search_range == 10 and type(Analyzer(True).approx_search_range) is int
    with pytest.raises(TypeError, match=r"^Argument 'approx_search_range' has incorrect type \(expected int, got str"):
        Analyzer("10")
    for method in (Analyzer().get_raw_simple_ratio, Analyzer().get_approx_simple_ratio):
        for value in (bytearray(b"x"), memoryview(b"x"), None, type("B", (bytes,), {})(b"x")):
            with pytest.raises(TypeError, match=r"^Argument 'image_bytes' has incorrect type \(expected bytes, got "):
                method(value)
    assert opened == []


ints = st.one_of(st.integers(-(2**70), 2**70), st.integers(-50, 50), st.integers(10**300, 10**301))


@settings(max_examples=400, deadline=None)
@given(ints, ints)
# Each side of the edge of ints that doubles hold exactly, where the loop runs on Python
# ints instead.
@example(2**53 - 1, -(2**53 - 2))
@example(2**53, 2**52)
@example(-(2**53) + 1, 3)
@example(3, -(2**53))
@example(-(2**63), -1)
@example(2**63 - 1, 2**62 - 1)
def test_gcd_matches_euclid_with_python_modulo(quessel, Reference, a, b):
    got = quessel.ImageRatioAnalyzer._gcd(a, b)
    assert got == Reference._gcd(a, b) and type(got) is int


def test_gcd_examples_and_overrides(quessel, png, image_global):
    gcd = quessel.ImageRatioAnalyzer._gcd
    assert (gcd(1920, 1080), gcd(7, 0), gcd(0, 0), gcd(4, -6), gcd(-4, 6), gcd(7.9, True)) == (120, 7, 0, -2, 2, 1)
    data = png(1920, 1080)
    calls = []
    halving = type("Halving", (quessel.ImageRatioAnalyzer,), {"_gcd": lambda self, a, b: calls.append((a, b)) or 60})
    assert halving().get_raw_simple_ratio(data) == "32:18" and calls == [(1920, 1080)]
    analyzer = quessel.ImageRatioAnalyzer()
    analyzer._gcd = lambda a, b: -1
    assert analyzer.get_raw_simple_ratio(data) == "-1920:-1080"
    image_global(sized((0, 0)))
    with pytest.raises(ZeroDivisionError, match="^integer division or modulo by zero$"):
        quessel.ImageRatioAnalyzer().get_raw_simple_ratio(b"")


sides = st.one_of(
    st.integers(1, 3000), st.integers(-40, 40), st.integers(2**52, 2**54), st.integers(10**20, 10**310),
    st.floats(allow_nan=True, allow_infinity=True), st.fractions(max_denominator=50),
)  # fmt: skip


# Each example installs its own stand-in, so the fixture needs no reset between them.
@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(sides, sides, st.integers(-1, 45))
def test_the_search_matches_plain_python(outcome, quessel, Reference, image_global, width, height, limit):
    image_global(sized((width, height)))
    native = outcome(lambda: quessel.ImageRatioAnalyzer(limit).get_approx_simple_ratio(b""))
    assert native == outcome(lambda: Reference(limit).get_approx_simple_ratio(b""))
    general = quessel.ImageRatioAnalyzer()
    general.approx_search_range = IntSub(limit)  # the same loop through the number protocol
    assert outcome(lambda: general.get_approx_simple_ratio(b"")) == native


# Ranges too wide for the plain loop: the machine-number search and the one on Python
# objects must still agree.
@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(sides, sides, st.integers(46, 1500))
def test_both_number_types_agree_on_wide_searches(outcome, quessel, image_global, width, height, limit):
    image_global(sized((width, height)))
    general = quessel.ImageRatioAnalyzer()
    general.approx_search_range = IntSub(limit)
    native = outcome(lambda: quessel.ImageRatioAnalyzer(limit).get_approx_simple_ratio(b""))
    assert outcome(lambda: general.get_approx_simple_ratio(b"")) == native


# Sizes and ranges off the usual path: failures, complex sizes, whose quotients cannot be
# ordered against the target, so every pair is tried, and a target so far below every
# quotient that all errors of a row are equal, where the first pair of the run must win.
@pytest.mark.parametrize(
    "size, limit, kind",
    [
        ((1, 0), 10, "error"), ((1, 0), 0, "error"), ((1920, 1080), 2.5, "error"), ((1920, 1080), None, "error"),
        ((10**400, 1), 3, "error"), ((decimal.Decimal(1), 2), 3, "error"), ((3 + 0j, 2 + 0j), 10, "value"),
        ((1920 + 5j, 1080), 20, "value"), ((3, 2j), 10, "value"), ((1 + 1j, 1 - 1j), 5, "value"),
        ((1j, 0), 3, "error"), ((-1.5e300, 1.0), 12, "value"), ((-1.5e300, 7), IntSub(12), "value"),
    ],
)  # fmt: skip
def test_odd_sizes_and_ranges_match_plain_python(outcome, quessel, Reference, image_global, size, limit, kind):
    image_global(sized(size))
    native, plain = quessel.ImageRatioAnalyzer(), Reference()
    native.approx_search_range = plain.approx_search_range = limit
    got = outcome(lambda: native.get_approx_simple_ratio(b""))
    assert got[0] == kind and got == outcome(lambda: plain.get_approx_simple_ratio(b""))


def test_large_ranges_stay_exact(quessel, Reference, png):
    data = png(1366, 768)
    assert quessel.ImageRatioAnalyzer(10**6).get_approx_simple_ratio(data) == "683:384"
    for limit in (383, 700):
        expected = Reference(limit).get_approx_simple_ratio(data)
        assert quessel.ImageRatioAnalyzer(limit).get_approx_simple_ratio(data) == expected


class Manager:
    """A context manager that records what the with statement does with it."""

    def __init__(self, log, name, entered=None, exit_result=None, exit_error=None, size=(4, 2)):
        self.log, self.name, self.entered = log, name, entered
        self.exit_result, self.exit_error, self.size = exit_result, exit_error, size

    def __enter__(self):
        self.log.append((self.name, "enter"))
        return self if self.entered is None else self.entered

    def __exit__(self, kind, value, traceback):
        handled = type(sys.exc_info()[1])  # the exception is being handled while __exit__ runs
        own_traceback = traceback is getattr(value, "__traceback__", None)
        self.log.append((self.name, "exit", kind, type(value), handled, own_traceback))
        if self.exit_error is not None:
            raise self.exit_error
        return self.exit_result


class Truthless:
    def __bool__(self):
        raise ArithmeticError("no truth")


class NotFunctions:
    """Special methods that are not functions: an object without __get__, a static method."""

    __enter__ = functools.partial(Opened, (5, 5))
    __exit__ = staticmethod(lambda *exc: False)


@pytest.mark.parametrize(
    "buffer, image",
    [
        ({}, {}),
        ({}, {"size": (3, 4, 5)}),
        ({}, {"size": 7}),
        ({}, {"size": (6, 4), "entered": Opened((9, 3))}),
        ({}, {"size": None, "exit_result": 1}),
        ({"exit_result": "yes"}, {"size": None}),
        ({}, {"size": None, "exit_error": KeyError("exit")}),
        ({}, {"size": None, "exit_result": Truthless()}),
        ({"exit_error": OSError("close")}, {}),
        ({"entered": "not a buffer"}, {"opened": object()}),
        ({}, {"opened": type("NoExit", (), {"__enter__": lambda self: self})()}),
        ({}, {"opened": NotFunctions()}),
        ({"exit_result": 0}, {"opened": ValueError("cannot identify")}),
    ],
)
@pytest.mark.parametrize("method", ["get_raw_simple_ratio", "get_approx_simple_ratio"])
def test_with_blocks_follow_the_context_manager_protocol(quessel, Reference, monkeypatch, buffer, image, method):
    image = dict(image)  # the parameters are shared by both methods
    opened = image.pop("opened", None)

    def run(analyzer, module):
        log = []

        def open_image(buf):
            log.append(("open", type(buf)))
            if isinstance(opened, Exception):
                raise opened
            return opened if opened is not None else Manager(log, "image", **image)

        monkeypatch.setitem(module, "BytesIO", lambda data: log.append(data) or Manager(log, "buffer", **buffer))
        monkeypatch.setitem(module, "Image", types.SimpleNamespace(open=open_image))
        try:
            return ("value", getattr(analyzer, method)(b"data")), log
        except Exception as e:  # noqa: BLE001 - every failure is compared
            return ("error", type(e), str(e), type(e.__context__)), log

    got = run(quessel.ImageRatioAnalyzer(), vars(quessel))
    assert got == run(Reference(), Reference.get_raw_simple_ratio.__globals__)


def test_undecodable_bytes_raise_pillows_error(quessel):
    with pytest.raises(PIL.UnidentifiedImageError, match="^cannot identify image file <_io.BytesIO object at 0x"):
        quessel.ImageRatioAnalyzer().get_raw_simple_ratio(b"not an image")


def test_corpus_images_match_plain_python(outcome, quessel, Reference, corpus_files):
    files = corpus_files("images", "synthetic")
    if not files:
        pytest.skip("the shared corpus is absent")
    for path in files:
        data = path.read_bytes()
        for limit in (10, 20):
            native, plain = quessel.ImageRatioAnalyzer(limit), Reference(limit)
            for method in ("get_raw_simple_ratio", "get_approx_simple_ratio"):
                got = outcome(lambda: getattr(native, method)(data))
                assert got == outcome(lambda: getattr(plain, method)(data)), path.name


# 10**15 takes the search in doubles, 2**60 the number protocol: neither ends by itself.
@pytest.mark.parametrize("limit", [10**15, 2**60])
def test_ctrl_c_stops_a_long_search(png, limit, tmp_path):
    image = tmp_path / "image.png"
    image.write_bytes(png(1366, 768))
    # Ctrl-C raises KeyboardInterrupt as in an interactive interpreter, even when the test
    # runner was started with SIGINT ignored (a background job), which the child inherits.
    code = f"""
import pathlib, signal
signal.signal(signal.SIGINT, signal.default_int_handler)
from carvola.quessel import ImageRatioAnalyzer
data = pathlib.Path({str(image)!r}).read_bytes()
print("searching", flush=True)
try:
    ImageRatioAnalyzer({limit}).get_approx_simple_ratio(data)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""
    process = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert process.stdout.readline() == "searching\n"
        time.sleep(0.3)
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=30)
    finally:
        process.kill()
    assert out == "interrupted\n", err
    assert time.monotonic() - sent < 5  # generous for a busy machine; typically ~0.05 s
