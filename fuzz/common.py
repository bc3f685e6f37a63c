"""What every fuzz target shares: the checks that make a finding, the decoders that turn
the fuzzer's bytes into arguments, and the entry point that runs a target under atheris.

A target module defines ``check(data: bytes)``; it raises ``Finding`` (or lets a
``SystemError`` escape) for what must not happen and returns for everything else. The
replay test runs the same ``check`` on the normal build.
"""

import io
import math
import sys
import warnings

import carvola._host

# The host application's module is not part of the package; the targets stand in for it.
sys.modules.setdefault("pelvane", carvola._host)

import PIL.Image  # noqa: E402

# Decoded images stay small, so that a slow input means a fault rather than a big image:
# Pillow refuses images beyond twice this. Set by run(), and by the replay test.
MAX_IMAGE_PIXELS = 1 << 17

# Most targets read a fixed-size header of parameters, then a payload taken as it is (an
# encoded image, a ratio string, a word file): the seeds are written in that shape, and
# mutations of the payload leave the parameters alone.
HEADER = 64


class Finding(BaseException):
    """A fault: derived from BaseException, so that no `except Exception` in the code
    under test or in a target can swallow it."""


def call(expected, fn, *args, **kwargs):
    """The result of `fn(*args, **kwargs)`, or None when it raises an ordinary exception.

    A SystemError (which the interpreter also raises for an error returned without an
    exception set, or a result returned with one set) propagates, and a result that is
    not an instance of `expected` is a Finding."""
    try:
        result = fn(*args, **kwargs)
    except SystemError:
        raise
    except Exception:
        return None
    if not isinstance(result, expected):
        raise Finding(f"{getattr(fn, '__qualname__', fn)} returned {type(result).__qualname__}")
    return result


def split(data, header=HEADER):
    """A provider for the parameter header, and the payload."""
    import atheris

    return atheris.FuzzedDataProvider(data[:header]), data[header:]


def decoded(payload):
    """The payload as text; bytes that are not UTF-8 become lone surrogates."""
    return payload.decode("utf-8", "surrogateescape")


def chance(fdp, p):
    """True with probability `p`; False once the data has run out, so that a short input
    takes the usual paths."""
    return fdp.ConsumeProbability() > 1.0 - p


def pick(fdp, choices):
    return choices[fdp.ConsumeIntInRange(0, len(choices) - 1)]


def provider(data):
    import atheris

    return atheris.FuzzedDataProvider(data)


# ----- values of the wrong kind -----


class StrSub(str):
    pass


class IntSub(int):
    pass


class Index:
    """A number only through __index__ (and whatever it returns)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    """A number only through __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Raising:
    """Every conversion, comparison and lookup raises."""

    def _fail(self, *args):
        raise ValueError("refused")

    __index__ = __int__ = __float__ = __str__ = __repr__ = __bool__ = __len__ = _fail
    __iter__ = __getitem__ = __eq__ = __lt__ = __hash__ = __format__ = _fail
    __add__ = __mul__ = __truediv__ = __floordiv__ = __mod__ = __getattr__ = _fail


def integer(fdp):
    """An int: small, word-sized, many-digit or a power of ten of up to 5000 digits."""
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return fdp.ConsumeIntInRange(1, 5000)
    if kind == 1:
        return fdp.ConsumeIntInRange(-(2**64), 2**64)
    if kind == 2:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 128))
    return (-1) ** fdp.ConsumeIntInRange(0, 1) * 10 ** fdp.ConsumeIntInRange(0, 5000)


def number(fdp):
    """Something the interpreter counts as a number, of any of its kinds."""
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind == 0:
        return integer(fdp)
    if kind == 1:
        return fdp.ConsumeFloat()  # nan, infinities and signed zeros included
    if kind == 2:
        return fdp.ConsumeBool()
    if kind == 3:
        return IntSub(integer(fdp))
    if kind == 4:
        return Index(integer(fdp) if fdp.ConsumeBool() else fdp.ConsumeFloat())
    if kind == 5:
        return Real(fdp.ConsumeFloat() if fdp.ConsumeBool() else integer(fdp))
    return fdp.ConsumeRegularFloat()


def text(fdp, limit=40):
    """A str of any code points (lone surrogates included), sometimes a str subclass."""
    value = fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, limit))
    return StrSub(value) if chance(fdp, 0.05) else value


def ratio_text(fdp):
    """A width:height string: small numbers, signs and blanks, long runs of Unicode
    digits, a third part, or any text."""
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return f"{fdp.ConsumeIntInRange(0, 10**6)}:{fdp.ConsumeIntInRange(0, 10**6)}"
    if kind == 1:
        digit = pick(fdp, ("9", "０", "٣", "𝟗", "0"))
        return digit * fdp.ConsumeIntInRange(0, 6000) + ":" + digit * fdp.ConsumeIntInRange(0, 30)
    if kind == 2:
        return pick(fdp, (" -", "+", " ")) + f"{integer(fdp) % 10**9} : {integer(fdp) % 10**9}" + pick(fdp, ("", ":1", ":x", " "))
    return text(fdp)


def odd(fdp):
    """A value of a kind no parameter expects."""
    choices = (
        lambda: None,
        lambda: Raising(),
        lambda: object(),
        lambda: fdp.ConsumeBytes(8),
        lambda: bytearray(fdp.ConsumeBytes(8)),
        lambda: [text(fdp, 8)],
        lambda: (integer(fdp), integer(fdp)),
        lambda: {text(fdp, 4): integer(fdp)},
        lambda: math.nan,
        lambda: Index("not an int"),
        lambda: Real("not a float"),
        lambda: StrSub(text(fdp, 8)),
    )
    return pick(fdp, choices)()


def either(fdp, usual, odd_share=0.15):
    """`usual(fdp)` mostly, a value of the wrong kind otherwise."""
    return odd(fdp) if chance(fdp, odd_share) else usual(fdp)


# ----- images -----

MODES = ("1", "L", "LA", "P", "PA", "RGB", "RGBA", "RGBX", "CMYK", "YCbCr", "LAB", "HSV",
         "I", "F", "I;16", "I;16B", "La")


def pil_image(fdp, payload):
    """A real Pillow image: decoded from `payload`, or built in any mode from its bytes."""
    if not chance(fdp, 0.3):
        try:
            image = PIL.Image.open(io.BytesIO(payload))
            image.load()
            return image
        except Exception:
            pass
    mode = pick(fdp, MODES)
    size = (fdp.ConsumeIntInRange(0, 300), fdp.ConsumeIntInRange(0, 300))
    try:
        image = PIL.Image.new(mode, size)
        need = len(image.tobytes())
        if need:
            image.frombytes((payload * (need // max(len(payload), 1) + 1))[:need] if payload else bytes(need))
        return image
    except Exception:
        return PIL.Image.new("RGB", (1, 1))


def run(check):
    """Fuzzes `check` with the command line's libFuzzer options."""
    import atheris

    PIL.Image.MAX_IMAGE_PIXELS = MAX_IMAGE_PIXELS
    warnings.simplefilter("ignore")  # Pillow's warnings about odd and large images
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()
