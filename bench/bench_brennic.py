"""Per-call cost of ImageTool's ratio lookup beside plain Python and a null native call.

Run: .venv/bin/python bench/bench_brennic.py [--rounds N]
Prints the median time per call of each variant (interleaved rounds) and the ratios.
"""

import argparse
import math
import pathlib
import runpy

from carvola.brennic import ImageTool
from timing import per_call_medians, report

ROOT = pathlib.Path(__file__).resolve().parent.parent
Reference = runpy.run_path(str(ROOT / "tests" / "brennic" / "reference.py"))["ReferenceImageTool"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=15)
    rounds = parser.parse_args().rounds

    native, plain = ImageTool(), Reference()
    parse, parse_plain = ImageTool._parse_ratio, Reference._parse_ratio
    closest, closest_plain = native._get_closest_standard_ratio, plain._get_closest_standard_ratio
    text = "16:9"
    groups = {
        "ImageTool()": {
            "native": lambda: ImageTool(),
            "plain Python": lambda: Reference(),
            "null call object()": lambda: object(),
        },
        '_parse_ratio("16:9")': {
            "native": lambda: parse(text),
            "plain Python": lambda: parse_plain(text),
            "null call len(s)": lambda: len(text),
        },
        "_get_closest_standard_ratio(1920, 1080)": {
            "native": lambda: closest(1920, 1080),
            "plain Python": lambda: closest_plain(1920, 1080),
            "null call math.gcd(1920, 1080)": lambda: math.gcd(1920, 1080),
        },
    }
    print(f"median per call over {rounds} interleaved rounds\n")
    for title, variants in groups.items():
        report(title, per_call_medians(variants, rounds))


if __name__ == "__main__":
    main()
