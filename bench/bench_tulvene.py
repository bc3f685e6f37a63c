"""Per-call cost of GPTImageSizeCalculator beside plain Python and a null native call.

Run: .venv/bin/python bench/bench_tulvene.py [--rounds N]
Prints the median time per call of each variant (interleaved rounds) and the ratios. The
null call is a builtin classmethod that does next to nothing, int.from_bytes(b"", "big"):
the floor any classmethod call pays.
"""

import argparse
import pathlib
import runpy
import sys

import carvola._host

sys.modules.setdefault("pelvane", carvola._host)

from carvola.tulvene import GPTImageSizeCalculator  # noqa: E402
from timing import per_call_medians, report  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
Reference = runpy.run_path(str(ROOT / "tests" / "tulvene" / "reference.py"))["ReferenceGPTImageSizeCalculator"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=15)
    rounds = parser.parse_args().rounds

    native, plain, empty = GPTImageSizeCalculator, Reference, b""
    null = {"null call int.from_bytes(b'', 'big')": lambda: int.from_bytes(empty, "big")}
    # Each call is written out as a caller writes it: attribute lookup, then the call.
    groups = {
        'calc_size("1:1", "2k")': {
            "native": lambda: native.calc_size("1:1", "2k"),
            "plain Python": lambda: plain.calc_size("1:1", "2k"),
            **null,
        },
        'calc_size("4:3", "4k")': {
            "native": lambda: native.calc_size("4:3", "4k"),
            "plain Python": lambda: plain.calc_size("4:3", "4k"),
            **null,
        },
        'calc_size("21:9", "2k")': {
            "native": lambda: native.calc_size("21:9", "2k"),
            "plain Python": lambda: plain.calc_size("21:9", "2k"),
            **null,
        },
        'calc_size("16:1", "2k")': {
            "native": lambda: native.calc_size("16:1", "2k"),
            "plain Python": lambda: plain.calc_size("16:1", "2k"),
            **null,
        },
    }
    groups["is_valid_image_size(3840, 1280)"] = {
        "native": lambda: native.is_valid_image_size(3840, 1280),
        "plain Python": lambda: plain.is_valid_image_size(3840, 1280),
        **null,
    }
    groups["round_to_multiple(1254.3)"] = {
        "native": lambda: native.round_to_multiple(1254.3),
        "plain Python": lambda: plain.round_to_multiple(1254.3),
        **null,
    }
    print(f"median per call over {rounds} interleaved rounds\n")
    for title, variants in groups.items():
        report(title, per_call_medians(variants, rounds))


if __name__ == "__main__":
    main()
