"""ImageTool.adjust_size: encoded images widened by stretching or padding, or passed back."""

import io
import struct
import sys
import types
import warnings
import zlib

import PIL.Image
import pytest

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
CLEAR_WHITE = (255, 255, 255, 0)


def encoded(image, fmt="PNG"):
    buffer = io.BytesIO()
    image.save(buffer, format=fmt)
    return buffer.getvalue()


def plain(size, fmt="PNG", color=(200, 40, 10)):
    return encoded(PIL.Image.new("RGB", size, color), fmt)


def gradient(size):
    """Rows of distinct greys, so any vertical shift shows."""
    return PIL.Image.linear_gradient("L").resize(size).convert("RGBA")


def png_header(width, height):
    """A PNG of the given size that holds no pixel data."""

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    return PNG_SIGNATURE + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) + chunk(b"IEND", b"")


def decoded(data):
    assert data.startswith(PNG_SIGNATURE)
    image = PIL.Image.open(io.BytesIO(data))
    assert (image.format, image.mode) == ("PNG", "RGBA")
    return image


@pytest.fixture(scope="module")
def ImageTool(brennic):
    return brennic.ImageTool


# ----- adjustment -----


@pytest.mark.parametrize(
    "size, mode, percent, expected_size, corner, ratio",
    [
        ((300, 500), "fill", 10.0, (330, 500), (15, 0), "9:16"),
        ((310, 500), "fill", 10, (341, 500), (15, 0), "2:3"),  # odd margin: the extra column is on the right
        ((500, 500), "fill", 10.0, (550, 550), (25, 25), "1:1"),
        ((1000, 600), "fill", 10.0, (1000, 660), (0, 30), "16:9"),
        ((400, 300), "fill", 0, (400, 300), (0, 0), "4:3"),
        ((400, 300), "fill", -50, (400, 150), (0, -75), "4:3"),  # negative margin: the centred band
        ((1000, 600), "resize", 10.0, (1000, 660), None, "16:9"),
        ((500, 500), "resize", 10.0, (550, 550), None, "1:1"),
        ((999, 1200), "resize", 10.0, (1098, 1200), None, "4:5"),  # 1098.9 truncated
    ],
)
def test_widens_the_shorter_side(ImageTool, Reference, size, mode, percent, expected_size, corner, ratio):
    source = gradient(size)
    data = encoded(source)
    result, got_ratio = ImageTool(None, mode).adjust_size(data, True, percent)
    assert got_ratio == ratio and ImageTool(ratio, mode).adjust_size(data, expand_percent=percent) == result
    assert result == Reference(None, mode).adjust_size(data, False, percent)
    image = decoded(result)
    assert image.size == expected_size
    if corner is None:
        return
    x, y = corner
    # The opaque source shows exactly where it was pasted; the bands keep the clear fill colour.
    clip = (max(x, 0), max(y, 0), min(x + size[0], expected_size[0]), min(y + size[1], expected_size[1]))
    assert image.getchannel("A").getbbox() == clip
    assert image.crop(clip).tobytes() == source.crop((clip[0] - x, clip[1] - y, clip[2] - x, clip[3] - y)).tobytes()
    if clip[0] > 0:
        assert image.getpixel((0, 0)) == image.getpixel((expected_size[0] - 1, 0)) == CLEAR_WHITE


def test_transparent_pixels_show_the_fill_colour(ImageTool):
    source = PIL.Image.new("RGBA", (40, 20), (200, 40, 10, 255))
    source.paste((9, 9, 9, 0), (0, 0, 20, 20))
    image = decoded(ImageTool(None, "fill", (1, 2, 3, 255)).adjust_size(encoded(source)))
    assert image.size == (40, 22)
    assert image.getpixel((0, 0)) == image.getpixel((5, 10)) == (1, 2, 3, 255)
    assert image.getpixel((30, 10)) == (200, 40, 10, 255)


def test_a_jpeg_comes_back_as_a_png_with_clear_bands(ImageTool):
    image = decoded(ImageTool().adjust_size(plain((200, 100), "JPEG")))
    assert image.size == (200, 110) and image.getpixel((0, 0)) == image.getpixel((0, 109)) == CLEAR_WHITE
    assert image.getchannel("A").getbbox() == (0, 5, 200, 105)


@pytest.mark.parametrize(
    "proportion, mode", [("1:1", "fill"), ("9:16", "resize"), ("abc", "fill"), (" 16:9 ", "resize"), ("4:3", "crop")]
)
def test_another_proportion_returns_the_input(ImageTool, proportion, mode):
    data = plain((1000, 600))
    tool = ImageTool(proportion, mode)
    assert tool.adjust_size(data) == data
    result = tool.adjust_size(data, return_origin_ratio=[1])
    assert result == (data, proportion) and result[1] is tool.proportion


def test_the_lookup_and_the_attributes_are_read_at_call_time(ImageTool):
    class Custom(ImageTool):
        def _get_closest_standard_ratio(self, width, height):
            return f"{width}x{height}"

    tool = Custom("1:1", "crop")
    data = plain((30, 20))
    assert tool.adjust_size(data, True) == (data, "1:1")
    tool.proportion, tool.need_adjust, tool.fill_color = "30x20", "fill", (0, 0, 0, 255)
    result, ratio = tool.adjust_size(data, True)
    assert ratio == "30x20" and decoded(result).getpixel((0, 0)) == (0, 0, 0, 255)
    assert vars(tool) == vars(Custom("30x20", "fill", (0, 0, 0, 255)))  # nothing else was stored
    tool.proportion = float("nan")
    Custom._get_closest_standard_ratio = lambda self, width, height: self.proportion
    assert tool.adjust_size(data, True) == (data, tool.proportion)  # Python's `!=`: a NaN differs from itself


# ----- failures -----


class Bytes(bytes):
    pass


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"image_bytes": bytearray(b"junk")}, "Argument 'image_bytes' has incorrect type (expected bytes, got bytearray)"),
        ({"image_bytes": memoryview(b"junk")}, "Argument 'image_bytes' has incorrect type (expected bytes, got memoryview)"),
        ({"image_bytes": None}, "Argument 'image_bytes' has incorrect type (expected bytes, got NoneType)"),
        ({"image_bytes": Bytes(b"junk")}, "Argument 'image_bytes' has incorrect type (expected bytes, got Bytes). "),
        ({"image_bytes": b"junk", "expand_percent": "10"}, "must be real number, not str"),
    ],
)
def test_arguments_are_checked_before_decoding(ImageTool, kwargs, message):
    with pytest.raises(TypeError) as raised:
        ImageTool().adjust_size(**kwargs)
    assert str(raised.value).startswith(message) and (message.endswith(". ") or str(raised.value) == message)


@pytest.mark.parametrize(
    "data, error",
    [
        (b"", PIL.UnidentifiedImageError),
        (b"GIF89a junk", PIL.UnidentifiedImageError),
        (png_header(0, 10), PIL.UnidentifiedImageError),  # Pillow refuses zero-size images
        (png_header(100_000, 100_000), PIL.Image.DecompressionBombError),
        (plain((64, 48))[:60], OSError),
        (plain((64, 48), "JPEG")[:300], OSError),
    ],
    ids=["empty", "junk", "zero width", "bomb", "truncated png", "truncated jpeg"],
)
@pytest.mark.parametrize("proportion, mode", [(None, "fill"), ("1:1", "resize"), (None, "crop")])
def test_undecodable_bytes_fail_on_every_path(outcome, ImageTool, Reference, data, error, proportion, mode):
    got = outcome(lambda: ImageTool(proportion, mode).adjust_size(data))
    assert got[:2] == ("error", error) and got == outcome(lambda: Reference(proportion, mode).adjust_size(data))


@pytest.mark.parametrize(
    "size, mode, percent, error, message",
    [
        ((40, 30), "crop", 10.0, ValueError, "need_adjust 仅支持 resize / fill"),
        ((40, 30), "fill", float("nan"), ValueError, "cannot convert float NaN to integer"),
        ((40, 30), "resize", float("inf"), OverflowError, "cannot convert float infinity to integer"),
        ((40, 30), "fill", -100, ValueError, "cannot write empty image"),
        ((40, 30), "resize", -100, ValueError, "height and width must be > 0"),
        ((40, 30), "fill", -150, ValueError, "Width and height must be >= 0"),
        ((2, 1), "fill", (2**31 - 1) * 100, OverflowError, "signed integer is greater than maximum"),
        ((2, 1), "resize", (2**31 - 1) * 100, OverflowError, "signed integer is greater than maximum"),
    ],
)
def test_sizes_and_modes_pillow_or_python_refuse(outcome, ImageTool, Reference, size, mode, percent, error, message):
    data = plain(size)
    assert outcome(lambda: ImageTool(None, mode).adjust_size(data, expand_percent=percent)) == ("error", error, message)
    assert outcome(lambda: Reference(None, mode).adjust_size(data, False, float(percent)))[1] is error


def test_a_zero_size_image_divides_by_zero(ImageTool, brennic, monkeypatch):
    empty = PIL.Image.new("RGBA", (5, 0))
    opened = types.SimpleNamespace(convert=lambda mode: empty)
    monkeypatch.setattr(brennic, "Image", types.SimpleNamespace(open=lambda stream: opened))
    with pytest.raises(ZeroDivisionError):
        ImageTool().adjust_size(b"anything")


# ----- the Pillow calls, through the module globals of the moment -----


class Recorder:
    """Stands in for an object: logs every call made through it (positional and keyword
    arguments apart) and stands in for the images and streams those calls return."""

    def __init__(self, target, log, path):
        self._target, self._log, self._path = target, log, path

    def __getattr__(self, name):
        value = getattr(self._target, name)
        return Recorder(value, self._log, f"{self._path}.{name}") if callable(value) else value

    def __call__(self, *args, **kwargs):
        shown = lambda v: v._path + "()" if isinstance(v, Recorder) else "bytes" if type(v) is bytes else repr(v)
        self._log.append((self._path, [shown(a) for a in args], {k: shown(v) for k, v in kwargs.items()}))
        real = lambda v: v._target if isinstance(v, Recorder) else v
        result = self._target(*map(real, args), **{k: real(v) for k, v in kwargs.items()})
        return Recorder(result, self._log, self._path) if isinstance(result, (PIL.Image.Image, io.BytesIO)) else result


FILL_CALLS = [
    ("BytesIO", ["bytes"], {}),
    ("Image.open", ["BytesIO()"], {}),
    ("Image.open.convert", ["'RGBA'"], {}),
    ("Image.new", ["'RGBA'", "(330, 500)", "(255, 255, 255, 0)"], {}),
    ("Image.new.paste", ["Image.open.convert()", "(15, 0)"], {"mask": "Image.open.convert()"}),
    ("BytesIO", [], {}),
    ("Image.new.save", ["BytesIO()"], {"format": "'PNG'", "quality": "95"}),
    ("BytesIO.seek", ["0"], {}),
    ("BytesIO.getvalue", [], {}),
]


@pytest.mark.parametrize("proportion, mode", [(None, "fill"), (None, "resize"), ("1:1", "fill"), (None, "crop")])
def test_pillow_is_called_as_plain_python_calls_it(outcome, ImageTool, Reference, brennic, monkeypatch, proportion, mode):
    tool, reference = ImageTool(proportion, mode), Reference(proportion, mode)  # made before the globals change
    data = plain((300, 500))
    logs = []
    for owner in (vars(brennic), Reference.adjust_size.__globals__):
        logs.append([])
        monkeypatch.setitem(owner, "Image", Recorder(PIL.Image, logs[-1], "Image"))
        monkeypatch.setitem(owner, "BytesIO", Recorder(io.BytesIO, logs[-1], "BytesIO"))
    results = outcome(lambda: tool.adjust_size(data)), outcome(lambda: reference.adjust_size(data))
    assert results[0] == results[1] and logs[0] == logs[1]
    if mode == "fill" and proportion is None:
        assert logs[0] == FILL_CALLS
    if mode == "resize":
        assert ("Image.open.convert.resize", ["(330, 500)", "<Resampling.LANCZOS: 1>"], {}) in logs[0]


# ----- real-world images -----


def widened(w, h):
    """The size both modes give with the default 10 percent."""
    if w == h:
        return int(w * 1.1), int(h * 1.1)
    return (int(w * 1.1), h) if w < h else (w, int(h * 1.1))


def test_corpus_images(outcome, ImageTool, Reference, corpus_files):
    files = corpus_files("images", "synthetic")
    if not files:
        pytest.skip("the shared image corpus is absent")
    closest = Reference()._get_closest_standard_ratio
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for path in files:
            data = path.read_bytes()
            before = sys.getrefcount(data)
            try:
                size = PIL.Image.open(io.BytesIO(data)).convert("RGBA").size
            except Exception as e:  # noqa: BLE001 - what Pillow refuses, the module refuses alike
                failure, proportions = type(e), (None, "1:1")
            else:
                failure, ratio = None, closest(*size)
                other = "1:1" if ratio != "1:1" else "16:9"
                proportions = (ratio, other)
            for mode in ("resize", "fill"):
                for proportion in proportions:
                    got = outcome(lambda: ImageTool(proportion, mode).adjust_size(data, True))
                    if failure is not None:
                        assert got[:2] == ("error", failure), (path.name, mode, got)
                    elif proportion == other:
                        assert got == ("value", (data, other)), (path.name, mode)
                    else:
                        assert got[0] == "value" and got[1][1] == ratio, (path.name, mode, got)
                        assert decoded(got[1][0]).size == widened(*size), (path.name, mode)
                    del got
            assert sys.getrefcount(data) == before, path.name
