"""image_resize: metadata, the letterbox arithmetic, the Pillow calls and their failures."""

import contextlib
import decimal
import fractions
import types

import PIL.Image
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

LANCZOS = PIL.Image.Resampling.LANCZOS


@pytest.fixture(scope="session")
def image_resize(resize_module):
    return resize_module.image_resize


def test_module_globals_are_the_imported_objects(resize_module):
    assert resize_module.Image is PIL.Image and resize_module.Resampling is PIL.Image.Resampling


# ----- with Pillow -----


@pytest.mark.parametrize(
    "source, target, scaled, corner",
    [
        ((1920, 1080), (1024, 1024), (1024, 576), (0, 224)),
        ((1080, 1920), (1024, 1024), (576, 1024), (224, 0)),
        ((100, 50), (400, 400), (400, 200), (0, 100)),
        ((300, 200), (300, 200), (300, 200), (0, 0)),
        ((1000, 1000), (1001, 1000), (1000, 1000), (0, 0)),
        ((294, 294), (1000, 1000), (999, 999), (0, 0)),  # 294 * (1000 / 294) is 999.9999999999999
        ((10, 7), (13, 13), (13, 9), (0, 2)),
        ((10, 10), (13, 12), (12, 12), (0, 0)),  # the odd column goes to the right
    ],
)
def test_letterbox_geometry(image_resize, reference, source, target, scaled, corner):
    image = PIL.Image.new("RGB", source, (200, 100, 50))
    result = image_resize(image, *target)
    assert (result.mode, result.size) == ("RGB", target) and result is not image
    assert result.getbbox() == (*corner, corner[0] + scaled[0], corner[1] + scaled[1])
    assert result.tobytes() == reference(image, *target).tobytes()
    assert image.size == source and image.getpixel((0, 0)) == (200, 100, 50)


@pytest.mark.parametrize(
    "bg_color, band",
    [((255, 255, 255), (255, 255, 255)), ("red", (255, 0, 0)), (None, None), ((0, 0, 0), (0, 0, 0))],
)
def test_background_colour_is_passed_to_pillow(image_resize, bg_color, band):
    image = PIL.Image.new("RGB", (192, 108), (9, 9, 9))
    result = image_resize(image, 64, 64, bg_color) if bg_color is not None else image_resize(image, 64, 64)
    assert result.getpixel((0, 0)) == (band or (0, 0, 0)) and result.getpixel((32, 32)) == (9, 9, 9)


def test_alpha_is_copied_not_blended(image_resize):
    image = PIL.Image.new("RGBA", (4, 4), (255, 0, 0, 0))
    result = image_resize(image, 8, 4, (255, 255, 255))
    assert result.mode == "RGB"
    assert [result.getpixel((x, 0)) for x in (0, 1, 2, 5, 6, 7)] == [(255, 255, 255)] * 2 + [(255, 0, 0)] * 2 + [
        (255, 255, 255)
    ] * 2


@pytest.mark.parametrize(
    "target_w, width", [(512.9, 512), (True, 1), (fractions.Fraction(7, 2), 3), (decimal.Decimal("-0.5") + 9, 8)]
)
def test_targets_go_through_int(image_resize, target_w, width):
    image = PIL.Image.new("RGB", (4, 4))
    assert image_resize(image, target_w, target_h=2).size == (width, 2)
    assert image_resize(target_h=2, target_w=target_w, image=image).size == (width, 2)


@pytest.mark.parametrize(
    "args, message",
    [
        ((None, "512", 1), "Argument 'target_w' has incorrect type (expected int, got str)"),
        ((None, 1, None), "Argument 'target_h' has incorrect type (expected int, got NoneType)"),
    ],
)
def test_argument_errors(image_resize, args, message):
    with pytest.raises(TypeError) as raised:
        image_resize(*args)
    assert str(raised.value) == message


class Sized:
    """An image-like object with a given size whose resize is that of a 4 x 4 Pillow image."""

    def __init__(self, size):
        self.size = size

    def resize(self, size, resample):
        return PIL.Image.new("RGB", (4, 4), (1, 2, 3)).resize(size, resample)


@pytest.mark.parametrize(
    "image, target, error",
    [
        (object(), (4, 4), AttributeError),
        (types.SimpleNamespace(size=(4, 4)), (4, 4), AttributeError),
        (Sized((1, 2, 3)), (4, 4), ValueError),
        (Sized((5,)), (4, 4), ValueError),
        (Sized(5), (4, 4), TypeError),
        (Sized((0, 5)), (4, 4), ZeroDivisionError),
        (Sized((10**400, 1)), (4, 4), OverflowError),
        (Sized((4, 4)), (0, 4), ValueError),
        (Sized((4, 4)), (-4, 4), ValueError),
        (Sized((100, 1)), (10, 10), ValueError),  # scaled to 10 x 0
        (Sized((4, 4)), (2**31, 1), OverflowError),
        (Sized((4, 4)), (1, 10**30), OverflowError),
        (None, (4, 4, "no colour"), ValueError),  # the canvas is made before the image is looked at
    ],
)
def test_failures_are_those_of_plain_python(outcome, image_resize, reference, image, target, error):
    got = outcome(lambda: image_resize(image, *target))
    assert got[:2] == ("error", error)
    assert got == outcome(lambda: reference(image, *target))


def test_every_mode_in_the_corpus(outcome, image_resize, reference, corpus_images_by_mode):
    if not corpus_images_by_mode:
        pytest.skip("the shared corpus is absent")
    for mode, image in corpus_images_by_mode.items():
        for target in ((64, 48), (30, 90)):
            native = outcome(lambda: image_resize(image, *target, (10, 20, 30)))
            plain = outcome(lambda: reference(image, *target, (10, 20, 30)))
            if native[0] == "value":
                assert (native[1].mode, native[1].size) == ("RGB", target), mode
                assert native[1].tobytes() == plain[1].tobytes(), mode
            else:
                assert native == plain, mode


# ----- with recording stand-ins for Pillow -----


class Recorder:
    """A stand-in for the module `Image` and for a source image, logging every call."""

    def __init__(self, size):
        self.events = []
        self._size = size
        self.canvas = types.SimpleNamespace(paste=lambda img, box: self.events.append(("paste", img, box)))

    def new(self, mode, size, color):
        self.events.append(("new", mode, size, color))
        return self.canvas

    @property
    def size(self):
        self.events.append("size")
        return self._size

    def resize(self, size, resample):
        self.events.append(("resize", size, resample))
        return "resized"


@contextlib.contextmanager
def replaced(namespace, **values):
    saved = {k: namespace[k] for k in values}
    namespace.update(values)
    try:
        yield
    finally:
        namespace.update(saved)


def recorded_run(outcome, function, namespace, size, target):
    """Calls `function` on a recorder of `size` standing in for the image and, in the
    function's globals `namespace`, for the module `Image`; gives the outcome and the log."""
    recorder = Recorder(size)
    with replaced(namespace, Image=recorder):
        result = outcome(lambda: function(recorder, *target, "colour"))
    if result[0] == "value":
        assert result[1] is recorder.canvas
        result = ("canvas",)
    return result, recorder.events


sources = st.one_of(
    st.integers(min_value=-5000, max_value=5000),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(allow_nan=True, allow_infinity=True),
)
targets = st.one_of(
    st.integers(min_value=-10, max_value=5000), st.integers(min_value=2**31 - 2, max_value=2**64), st.floats()
)


@settings(max_examples=500, deadline=None)
@given(sources, sources, targets, targets)
@example(294, 294, 1000, 1000)
@example(1920, 1080, 1024, 1024)
@example(3, 3, 2**63, 2**63 + 1)
def test_arithmetic_and_calls_match_plain_python(outcome, resize_module, reference, s_w, s_h, target_w, target_h):
    size, target = (s_w, s_h), (target_w, target_h)
    native = recorded_run(outcome, resize_module.image_resize, vars(resize_module), size, target)
    assert native == recorded_run(outcome, reference, reference.__globals__, size, target)


def test_replaced_globals_are_used_at_each_call(outcome, resize_module):
    namespace = vars(resize_module)
    with replaced(namespace, Resampling=types.SimpleNamespace(LANCZOS="chosen")):
        result, events = recorded_run(outcome, resize_module.image_resize, namespace, (1920, 1080), (1024, 1024))
    assert result == ("canvas",)
    assert events == [
        ("new", "RGB", (1024, 1024), "colour"),
        "size",
        ("resize", (1024, 576), "chosen"),
        ("paste", "resized", (0, 224)),
    ]
    with replaced(namespace, Resampling=None):
        del namespace["Resampling"]
        with pytest.raises(NameError, match="^name 'Resampling' is not defined$"):
            resize_module.image_resize(PIL.Image.new("RGB", (2, 2)), 4, 4)
