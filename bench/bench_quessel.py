"""Per-call cost of ImageRatioAnalyzer beside plain Python and the size read alone.

Run: .venv/bin/python bench/bench_quessel.py [--rounds N]
Prints the median time per call of each variant (interleaved rounds) and the ratios.
The floor is the two with blocks written in Python, reading .size: the Pillow work every
call needs, which no native code can save.
"""

import argparse
import io
import pathlib
import runpy

from carvola.quessel import ImageRatioAnalyzer
from PIL import Image
from timing import per_call_medians, report

ROOT = pathlib.Path(__file__).resolve().parent.parent
Reference = runpy.run_path(str(ROOT / "tests" / "quessel" / "reference.py"))["ReferenceImageRatioAnalyzer"]


def read_size(image_bytes):
    with io.BytesIO(image_bytes) as buf:
        with Image.open(buf) as img:
            width, height = img.size
    return width, height


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=15)
    rounds = parser.parse_args().rounds

    buffer = io.BytesIO()
    Image.new("RGB", (1920, 1080)).save(buffer, "PNG")
    data = buffer.getvalue()
    native, plain = ImageRatioAnalyzer(), Reference()
    floor = "floor: the with blocks in Python"
    groups = {
        "get_raw_simple_ratio, 1920x1080 PNG": {
            "native": lambda: native.get_raw_simple_ratio(data),
            "plain Python": lambda: plain.get_raw_simple_ratio(data),
            floor: lambda: read_size(data),
        },
        "get_approx_simple_ratio, 1920x1080 PNG, range 10": {
            "native": lambda: native.get_approx_simple_ratio(data),
            "plain Python": lambda: plain.get_approx_simple_ratio(data),
            floor: lambda: read_size(data),
        },
    }
    for limit in (200, 2000):
        wide_native, wide_plain = ImageRatioAnalyzer(limit), Reference(limit)
        groups[f"get_approx_simple_ratio, 1920x1080 PNG, range {limit}"] = {
            "native": lambda analyzer=wide_native: analyzer.get_approx_simple_ratio(data),
            "plain Python": lambda analyzer=wide_plain: analyzer.get_approx_simple_ratio(data),
            floor: lambda: read_size(data),
        }
    print(f"median per call over {rounds} interleaved rounds\n")
    for title, variants in groups.items():
        times = per_call_medians(variants, rounds)
        report(title, times)
        print(f"  native above the floor: {(times['native'] - times[floor]) * 1e9:.0f} ns\n")


if __name__ == "__main__":
    main()
