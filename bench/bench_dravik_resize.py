"""Per-call cost of FluxKontextImageScale.start and image_resize beside the Pillow calls a
user would otherwise make and beside plain Python; then, with a stand-in image, the cost
of the calls' own work without the pixels.

Run: .venv/bin/python bench/bench_dravik_resize.py [--rounds N] [--seconds S] [--cold-heap]
Prints the median time per call of each variant (interleaved rounds), the ratios, and
the native call's overhead over the Pillow call it stands beside.

The heap: image_resize creates its canvas before it resizes. In a process whose C
allocator has never handed out a block the size of a source image, glibc gives the
canvas and the resize buffers back to the system at the end of every call (its trim
threshold is still low) and fetches them again in the next one: about 2700 page faults a
call, which ImageOps.pad (resize first) happens to avoid. A service decoding a new image
for every request is past that state after its first request, so by default the script
makes and drops one copy of the source image first; --cold-heap leaves that out.
"""

import argparse
import pathlib
import runpy

from PIL import Image, ImageOps
from PIL.Image import Resampling

from carvola.dravik import FluxKontextImageScale
from carvola.resize import image_resize
from timing import per_call_medians, report

ROOT = pathlib.Path(__file__).resolve().parent.parent
ReferenceScale = runpy.run_path(str(ROOT / "tests" / "dravik" / "reference.py"))["ReferenceFluxKontextImageScale"]
reference_resize = runpy.run_path(str(ROOT / "tests" / "resize" / "reference.py"))["reference_image_resize"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=25)
    parser.add_argument("--seconds", type=float, default=0.25, help="time per variant in each round")
    parser.add_argument("--cold-heap", action="store_true", help="skip the request-like allocation first")
    args = parser.parse_args()

    image = Image.merge("RGB", [Image.effect_noise((1920, 1080), sigma) for sigma in (40, 60, 80)])
    if not args.cold_heap:
        image.copy()  # what decoding one request's image does to the allocator
    lanczos = Resampling.LANCZOS
    groups = {
        "FluxKontextImageScale(img).start(), 1920 x 1080 RGB": (
            "bare img.resize((1392, 752), LANCZOS)",
            {
                "native": lambda: FluxKontextImageScale(image).start(),
                "bare img.resize((1392, 752), LANCZOS)": lambda: image.resize((1392, 752), lanczos),
                "plain Python": lambda: ReferenceScale(image).start(),
            },
        ),
        "image_resize(img, 1024, 1024), 1920 x 1080 RGB": (
            "ImageOps.pad",
            {
                "native": lambda: image_resize(image, 1024, 1024),
                "ImageOps.pad": lambda: ImageOps.pad(image, (1024, 1024), method=lanczos, color=(0, 0, 0)),
                "plain Python": lambda: reference_resize(image, 1024, 1024),
            },
        ),
    }
    heap = "cold heap" if args.cold_heap else "heap as after one request"
    # The calls' own work, without the pixels: a stand-in image whose resize hands back a
    # ready 16 x 9 image, and a 16 x 16 box for the canvas.
    small = Image.new("RGB", (16, 9))
    stand_in = type("StandIn", (), {"width": 1920, "height": 1080, "size": (1920, 1080), "resize": lambda *a: small})()
    groups["FluxKontextImageScale(stand_in).start(), without the pixel work"] = (
        None,
        {
            "native": lambda: FluxKontextImageScale(stand_in).start(),
            "plain Python": lambda: ReferenceScale(stand_in).start(),
        },
    )
    groups["image_resize(stand_in, 16, 16), without the pixel work"] = (
        None,
        {"native": lambda: image_resize(stand_in, 16, 16), "plain Python": lambda: reference_resize(stand_in, 16, 16)},
    )
    print(f"median per call over {args.rounds} interleaved rounds of {args.seconds} s per variant, {heap}\n")
    for title, (baseline, variants) in groups.items():
        times = per_call_medians(variants, args.rounds, target_seconds=args.seconds)
        report(title, times)
        if baseline is None:
            continue
        overhead = (times["native"] / times[baseline] - 1) * 100
        print(f"  native overhead over {baseline}: {overhead:+.2f} %\n")


if __name__ == "__main__":
    main()
