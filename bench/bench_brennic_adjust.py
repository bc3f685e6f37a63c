"""Per-call cost of ImageTool.adjust_size beside its floor: the same Pillow calls written
inline in Python, with nothing around them. Plain Python's ImageTool is shown as well.

Run: .venv/bin/python bench/bench_brennic_adjust.py [--rounds N]
Prints the median time per call of each variant (interleaved rounds) and native / floor,
which should stay within 1.02 on the large image and 1.03 on the small one.
"""

import argparse
import pathlib
import runpy
from io import BytesIO

from PIL import Image

from carvola.brennic import ImageTool
from timing import per_call_medians, report

ROOT = pathlib.Path(__file__).resolve().parent.parent
Reference = runpy.run_path(str(ROOT / "tests" / "brennic" / "reference.py"))["ReferenceImageTool"]


def sample(size, fmt):
    """A photo-like image: a fractal in one channel, gradients in the others."""
    w, h = size
    fractal = Image.effect_mandelbrot(size, (-2.2, -1.2, 1.0, 1.2), 64)
    channels = (fractal, Image.linear_gradient("L").resize(size), Image.radial_gradient("L").resize(size))
    buffer = BytesIO()
    Image.merge("RGB", channels).save(buffer, format=fmt, **({"quality": 90} if fmt == "JPEG" else {}))
    return buffer.getvalue()


def encoded(image):
    out_io = BytesIO()
    image.save(out_io, format="PNG", quality=95)
    out_io.seek(0)
    return out_io.getvalue()


# The floors: what adjust_size does for a landscape image, inline.


def floor_resize(data):
    img = Image.open(BytesIO(data)).convert("RGBA")
    w, h = img.size
    return encoded(img.resize((w, int(h * 1.1)), Image.Resampling.LANCZOS))


def floor_fill(data):
    img = Image.open(BytesIO(data)).convert("RGBA")
    w, h = img.size
    canvas = Image.new("RGBA", (w, int(h * 1.1)), (255, 255, 255, 0))
    canvas.paste(img, (0, (int(h * 1.1) - h) // 2), mask=img)
    return encoded(canvas)


def floor_untouched(data):
    img_io = BytesIO(data)
    Image.open(img_io).convert("RGBA")
    img_io.seek(0)
    return img_io.getvalue()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=15)
    rounds = parser.parse_args().rounds

    images = {"64x48 PNG": sample((64, 48), "PNG"), "1024x768 JPEG": sample((1024, 768), "JPEG")}
    paths = {
        "resize": (ImageTool(None, "resize"), Reference(None, "resize"), floor_resize),
        "fill": (ImageTool(None, "fill"), Reference(None, "fill"), floor_fill),
        "untouched (another proportion)": (ImageTool("1:1"), Reference("1:1"), floor_untouched),
    }
    print(f"median per call over {rounds} interleaved rounds\n")
    ratios = []
    for image_name, data in images.items():
        for path_name, (native, plain, floor) in paths.items():
            assert native.adjust_size(data) == plain.adjust_size(data) == floor(data)
            title = f"adjust_size, {image_name}, {path_name}"
            times = per_call_medians(
                {
                    "native": lambda: native.adjust_size(data),
                    "floor: the Pillow calls inline": lambda: floor(data),
                    "plain Python": lambda: plain.adjust_size(data),
                },
                rounds,
                target_seconds=0.2,
            )
            report(title, times)
            ratios.append((title, times["native"] / times["floor: the Pillow calls inline"]))
    print("native / floor")
    for title, ratio in ratios:
        print(f"  {title:58s} {ratio:.3f}")


if __name__ == "__main__":
    main()
