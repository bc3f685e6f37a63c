"""Writes the seed corpora in fuzz/corpus/TARGET: small images made here with Pillow in
several formats and modes (also cut short), ratio strings, word files as text and as
pickles (also hostile ones), each after a parameter header. Run it again after changing
how a target reads its input: python fuzz/make_seeds.py"""

import io
import pathlib
import pickle
import random
import shutil

import PIL.Image

from common import HEADER
CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"

# (format, mode, size): one small image each, sizes chosen to land near and between
# standard ratios, and a square.
IMAGES = [
    ("PNG", "RGBA", (16, 9)), ("PNG", "L", (9, 16)), ("PNG", "P", (3, 4)), ("PNG", "LA", (21, 9)),
    ("PNG", "I;16", (5, 4)), ("PNG", "1", (1, 1)), ("JPEG", "RGB", (32, 18)), ("JPEG", "CMYK", (8, 8)),
    ("JPEG", "L", (40, 30)), ("GIF", "P", (12, 8)), ("BMP", "RGB", (7, 5)), ("TIFF", "F", (6, 4)),
    ("WEBP", "RGBA", (10, 15)), ("ICO", "RGBA", (16, 16)), ("PPM", "RGB", (4, 3)),
]


def image(fmt, mode, size):
    picture = PIL.Image.linear_gradient("L").resize(size).convert(mode)
    out = io.BytesIO()
    picture.save(out, format=fmt)
    return out.getvalue()


def header(rng=None):
    """Random parameters, or none at all: a header of zeros takes every target's usual
    path (the plain class, default modes), which random parameters mostly leave."""
    return rng.randbytes(HEADER) if rng else bytes(HEADER)


def write(target, name, data):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


RATIOS = ["16:9", " 3:4 ", "0:0", "1:0", "21:9px", "٣:٤", "０:１", "9" * 5000 + ":1", "-1:-1", "1:2:3", "abc", ""]
TEXT_WORDS = "\n".join(["ban", "  spaced  ", "", "Upper", "重复", "重复", "a.b*c(", "\ufeffbom"]).encode()
HOSTILE = [
    b"cos\nsystem\n(S'true'\ntR.",  # a global call through REDUCE
    b"\x80\x04\x8c\x08builtins\x8c\x04eval\x93\x8c\x07[1]+[2]\x85R.",  # eval through STACK_GLOBAL
    b"\x80\x05\x8d\xff\xff\xff\xff\xff\xff\xff\x7f.",  # a huge BINUNICODE8 length
    b"(lp0\nI1\naS'x'\na.",  # an int and a str, protocol 0
    b"\x80\x02]q\x00(K\x01X\x01\x00\x00\x00xq\x01e.",  # a list with the wrong item types
]


def main():
    shutil.rmtree(CORPUS, ignore_errors=True)
    rng = random.Random(13)
    for fmt, mode, size in IMAGES:
        data = image(fmt, mode, size)
        name = f"{fmt.lower()}-{mode.replace(';', '_').lower()}-{size[0]}x{size[1]}"
        for target in ("brennic", "quessel", "dravik"):
            write(target, name, header() + data)
            write(target, name + "-mixed", header(rng) + data)
        if fmt in ("PNG", "JPEG"):  # cut off inside the header and inside the pixel data
            for target in ("brennic", "quessel", "dravik"):
                write(target, name + "-cut", header(rng) + data[: len(data) // 3])
    for i, ratio in enumerate(RATIOS):
        for target in ("brennic", "tulvene"):
            write(target, f"ratio-{i}", header(rng) + ratio.encode())
    write("vantor", "text-words", header(rng) + TEXT_WORDS)
    write("vantor", "crlf-words", header(rng) + TEXT_WORDS.replace(b"\n", b"\r\n"))
    write("vantor", "many-words", header(rng) + "\n".join(f"word{i}" for i in range(120)).encode())
    for protocol in (0, 2, 5):
        write("vantor", f"pickle-{protocol}", header(rng) + pickle.dumps(["ban", " x ", "", "長い"], protocol=protocol))
    for i, data in enumerate(HOSTILE):
        write("vantor", f"hostile-pickle-{i}", header(rng) + data)
    for i in range(8):
        write("olvast", f"random-{i}", rng.randbytes(48))


if __name__ == "__main__":
    main()
