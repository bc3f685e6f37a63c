"""FluxKontextImageScale: the class, the nearest preferred resolution and the resize call."""

import fractions
import traceback
import types

import PIL.Image
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

LANCZOS = PIL.Image.Resampling.LANCZOS
PREFERRED = [
    (672, 1568), (688, 1504), (720, 1456), (752, 1392), (800, 1328), (832, 1248), (880, 1184), (944, 1104),
    (1024, 1024), (1104, 944), (1184, 880), (1248, 832), (1328, 800), (1392, 752), (1456, 720), (1504, 688),
    (1568, 672),
]  # fmt: skip


@pytest.fixture(scope="session")
def Scale(dravik):
    return dravik.FluxKontextImageScale


# ----- module and class -----


def test_module_globals_and_the_resolution_table(dravik, Scale):
    # Names, order, docstrings and signatures are in tests/frame/module_metadata.py.
    assert dravik.Image is PIL.Image and dravik.Resampling is PIL.Image.Resampling
    table = Scale.PREFERED_KONTEXT_RESOLUTIONS
    assert type(table) is list and table == PREFERRED
    assert all(type(pair) is tuple and all(type(v) is int for v in pair) for pair in table)


def test_constructor_keeps_the_object_as_given(Scale):
    image = object()
    assert vars(Scale(image)) == {"image": image} and Scale(image=image).image is image


# ----- the nearest preferred resolution -----


@pytest.mark.parametrize(
    "size, expected",
    [
        ((1920, 1080), (1392, 752)),
        ((1080, 1920), (752, 1392)),
        ((1024, 1024), (1024, 1024)),
        ((512, 512), (1024, 1024)),
        ((100, 100), (1024, 1024)),
        ((4000, 3000), (1184, 880)),
        ((2048, 1536), (1184, 880)),
        ((800, 600), (1184, 880)),
        ((3000, 4000), (880, 1184)),
        ((3000, 2000), (1248, 832)),
        ((10, 1), (1568, 672)),
        ((1, 10), (672, 1568)),
        ((64, 59), (1024, 1024)),  # halfway to 1104 x 944: the smaller width wins
    ],
)
def test_pillow_images_become_the_nearest_preferred_size(Scale, size, expected):
    image = PIL.Image.new("RGB", size, (200, 30, 90))
    scale = Scale(image)
    first, second = scale.start(), scale.start()
    assert first.size == second.size == expected and first.mode == "RGB"
    assert first is not second and first is not image and scale.image is image and image.size == size


sides = st.one_of(
    st.integers(min_value=-3000, max_value=3000),
    st.integers(min_value=-(10**30), max_value=10**30),
    st.floats(allow_nan=True, allow_infinity=True),
    st.fractions(max_denominator=50),
)


@settings(max_examples=400, deadline=None)
@given(sides, sides)
@example(64, 59)
@example(10**400, 1)
@example(fractions.Fraction(3, 2), 1)
def test_choice_matches_plain_python(outcome, Scale, Reference, FakeImage, width, height):
    native, plain = FakeImage(width, height), FakeImage(width, height)
    assert outcome(lambda: Scale(native).start()) == outcome(lambda: Reference(plain).start())
    assert native.log == plain.log


class Width(int):
    """An int that remembers it came from a particular table entry."""


@pytest.mark.parametrize(
    "table, size, expected",
    [
        ([(2, 1), (4, 2)], (2, 1), (2, 1)),  # equal distance: the smaller width
        ([(4, 2), (2, 1)], (2, 1), (2, 1)),
        ([(3, 1), (1, 1)], (2, 1), (1, 1)),  # both 1.0 away
        ([[5, 4], (1.5, 1)], (3, 2), (1.5, 1)),
        ([(fractions.Fraction(7, 2), 2)], (1, 1), (fractions.Fraction(7, 2), 2)),
        (((16, 9), (9, 16)), (1920, 1080), (16, 9)),
        (iter([(16, 9), (4, 3)]), (4, 3), (4, 3)),
        ({(1, 1): 0}, (5, 1), (1, 1)),
    ],
)
def test_a_replaced_table_is_read_through_the_instance(Scale, FakeImage, table, size, expected):
    scale = Scale(FakeImage(*size))
    scale.PREFERED_KONTEXT_RESOLUTIONS = table
    assert scale.start() == ("resized", expected)


def test_a_subclass_table_takes_precedence(Scale, FakeImage):
    subclass = type("Subclass", (Scale,), {"PREFERED_KONTEXT_RESOLUTIONS": [(9, 9)]})
    assert subclass(FakeImage(16, 9)).start() == ("resized", (9, 9))


def test_fully_equal_triples_keep_the_first(Scale, FakeImage):
    scale = Scale(FakeImage(1, 1))
    scale.PREFERED_KONTEXT_RESOLUTIONS = [(Width(2), 2), (2, 2), (Width(2), 2)]
    result = scale.start()
    assert result == ("resized", (2, 2)) and type(result[1][0]) is Width


@pytest.mark.parametrize(
    "table, error, message",
    [
        ([(1,)], ValueError, "need more than 1 value to unpack"),
        ([(1024, 1024), ()], ValueError, "need more than 0 values to unpack"),
        ([(1, 2, 3)], ValueError, "too many values to unpack (expected 2)"),
        ([(1, 1), 7], TypeError, "'int' object is not iterable"),
        ([(1, 0)], ZeroDivisionError, "division by zero"),
        ([(1, 1), ("1", 1)], TypeError, "unsupported operand type(s) for /: 'str' and 'int'"),
    ],
)
def test_bad_entries_fail_inside_the_generator(Scale, FakeImage, table, error, message):
    scale = Scale(FakeImage(16, 9))
    scale.PREFERED_KONTEXT_RESOLUTIONS = table
    with pytest.raises(error) as raised:
        scale.start()
    assert str(raised.value) == message
    entries = [entry.name for entry in traceback.extract_tb(raised.value.__traceback__)]
    assert entries[-2:] == ["carvola.dravik.FluxKontextImageScale.start", "genexpr"]
    assert scale.image.log == []


@pytest.mark.parametrize(
    "table, error, message",
    [
        ([], ValueError, "min() arg is an empty sequence"),
        (5, TypeError, "'int' object is not iterable"),
        ([(1, 1), (1j, 1j)], TypeError, "'<' not supported between instances of 'complex' and 'int'"),
    ],
)
def test_table_and_comparison_errors_belong_to_start(outcome, Scale, Reference, FakeImage, table, error, message):
    scale = Scale(FakeImage(1, 1))
    scale.PREFERED_KONTEXT_RESOLUTIONS = table
    with pytest.raises(error) as raised:
        scale.start()
    assert str(raised.value) == message
    assert traceback.extract_tb(raised.value.__traceback__)[-1].name == "carvola.dravik.FluxKontextImageScale.start"
    plain = Reference(FakeImage(1, 1))
    plain.PREFERED_KONTEXT_RESOLUTIONS = table
    assert outcome(plain.start)[1:] == (error, message)


# ----- the image -----


class Recorded:
    """An image whose attribute reads, and the reads of `image` on its holder, are logged."""

    def __init__(self, log, missing=()):
        self._log, self._missing = log, missing

    def __getattr__(self, name):
        self._log.append(name)
        if name in self._missing:
            raise AttributeError(name)
        return {"width": 300, "height": 200, "resize": lambda size, f: self._log.append((size, f))}[name]


@pytest.mark.parametrize("missing", [(), ("width",), ("height",), ("resize",)])
def test_the_image_is_read_like_plain_python(outcome, Scale, Reference, missing):
    logs = []
    for cls in (Scale, Reference):
        log = []
        holder = type("Holder", (cls,), {"image": property(lambda self: log.append("image") or self._image)})
        scale = object.__new__(holder)
        scale._image = Recorded(log, missing)
        logs.append((outcome(scale.start), log))
    assert logs[0] == logs[1]
    if not missing:
        assert logs[0][1] == ["image", "width", "image", "height", "image", "resize", ((1248, 832), LANCZOS)]


@pytest.mark.parametrize(
    "table, error",
    [([(2**31, 1)], OverflowError), ([(1, 2**64)], OverflowError), ([(-5, 3)], ValueError), ([(1.5, 2)], TypeError)],
)
def test_sizes_pillow_refuses_fail_cleanly(outcome, Scale, Reference, table, error):
    image = PIL.Image.new("RGB", (4, 3))
    native, plain = Scale(image), Reference(image)
    native.PREFERED_KONTEXT_RESOLUTIONS = plain.PREFERED_KONTEXT_RESOLUTIONS = table
    got = outcome(native.start)
    assert got[:2] == ("error", error) and got == outcome(plain.start)


def test_errors_of_resize_propagate_unchanged(Scale):
    failure = OSError("decoder failed")

    class Failing:
        width = height = 1

        def resize(self, size, resample):
            raise failure

    with pytest.raises(OSError) as raised:
        Scale(Failing()).start()
    assert raised.value is failure


def test_resampling_is_looked_up_at_each_call(dravik, Scale, FakeImage, monkeypatch):
    image = FakeImage(1, 1)
    monkeypatch.setattr(dravik, "Resampling", types.SimpleNamespace(LANCZOS="chosen"))
    Scale(image).start()
    monkeypatch.delattr(dravik, "Resampling")
    with pytest.raises(NameError, match="^name 'Resampling' is not defined$"):
        Scale(image).start()
    monkeypatch.undo()
    Scale(image).start()
    assert image.log == [("resize", (1024, 1024), "chosen"), ("resize", (1024, 1024), LANCZOS)]


def test_every_mode_in_the_corpus(outcome, Scale, Reference, corpus_images_by_mode):
    if not corpus_images_by_mode:
        pytest.skip("the shared corpus is absent")
    for mode, image in corpus_images_by_mode.items():
        native = outcome(lambda: Scale(image).start())
        plain = outcome(lambda: Reference(image).start())
        if native[0] == "value":
            assert native[1].mode == mode and native[1].tobytes() == plain[1].tobytes(), mode
        else:
            assert native == plain, mode
