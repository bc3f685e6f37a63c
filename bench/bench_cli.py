"""The carvola command over a folder of 200 mixed images, beside a plain Pillow loop.

Run: flock /tmp/carvola-cpu.lock .venv/bin/python bench/bench_cli.py [--rounds N] [--images N]
Times `carvola kontext FOLDER --out OUT --jobs 1` and `--jobs 2` against a script that
does the same work in a plain loop: open, upright by EXIF, scale with
FluxKontextImageScale, convert to a mode PNG holds, write. Each variant runs in a fresh
process, so all pay the same start-up. Prints the medians, the command's overhead over the
loop at --jobs 1 (the cost of planning, safe writes and reporting) and the speed-up of two
jobs.
"""

import argparse
import os
import pathlib
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

from PIL import Image, ImageDraw

PLAIN_LOOP = textwrap.dedent(
    """
    import pathlib, sys
    from PIL import Image, ImageOps
    from carvola.dravik import FluxKontextImageScale
    source, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    for path in sorted(p for p in source.rglob("*") if p.is_file()):
        with Image.open(path) as image:
            image.load()
            image = ImageOps.exif_transpose(image)
        scaled = FluxKontextImageScale(image).start()
        if scaled.mode not in ("1", "L", "LA", "P", "RGB", "RGBA", "I;16"):
            scaled = scaled.convert("RGBA" if "A" in scaled.mode else "RGB")
        target = out / path.relative_to(source).with_suffix(".png")
        target.parent.mkdir(parents=True, exist_ok=True)
        scaled.save(target, format="PNG")
    """
)


def make_images(folder, count, seed=1):
    """`count` small images of mixed sizes, modes and formats, drawn from a fixed seed;
    some JPEGs are stored sideways with an EXIF orientation."""
    rng = random.Random(seed)
    for n in range(count):
        width, height = rng.choice([(320, 240), (400, 300), (512, 384), (240, 320), (256, 256), (640, 360)])
        mode = rng.choice(["RGB", "RGBA", "L"])
        image = Image.new(mode, (width, height), rng.randrange(256) if mode == "L" else (rng.randrange(256),) * len(mode))
        draw = ImageDraw.Draw(image)
        for _ in range(12):
            box = sorted(rng.sample(range(width), 2)), sorted(rng.sample(range(height), 2))
            fill = rng.randrange(256) if mode == "L" else tuple(rng.randrange(256) for _ in mode)
            draw.ellipse((box[0][0], box[1][0], box[0][1], box[1][1]), fill=fill)
        if mode == "RGBA" or rng.random() < 0.5:
            image.save(folder / f"image{n:03d}.png")
        else:
            exif = Image.Exif()
            if rng.random() < 0.5:
                exif[0x0112] = 6  # stored sideways, displayed upright
            image.save(folder / f"image{n:03d}.jpg", quality=90, exif=exif)


def timed(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, capture_output=True)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--images", type=int, default=200)
    args = parser.parse_args()
    carvola = pathlib.Path(sys.executable).with_name("carvola")
    with tempfile.TemporaryDirectory() as work:
        work = pathlib.Path(work)
        source = work / "source"
        source.mkdir()
        make_images(source, args.images)
        out = str(work / "out")
        variants = {
            "plain Pillow loop": [sys.executable, "-c", PLAIN_LOOP, str(source), out],
            "carvola kontext --jobs 1": [str(carvola), "kontext", str(source), "--out", out, "--jobs", "1"],
            "carvola kontext --jobs 2": [str(carvola), "kontext", str(source), "--out", out, "--jobs", "2"],
        }
        samples = {name: [] for name in variants}
        for _ in range(args.rounds):
            for name, command in variants.items():
                shutil.rmtree(out, ignore_errors=True)
                samples[name].append(timed(command))
    times = {name: statistics.median(values) for name, values in samples.items()}
    print(f"{args.images} images, median of {args.rounds} interleaved rounds, load {os.getloadavg()[0]:.2f}\n")
    for name, seconds in times.items():
        print(f"  {name:28s} {seconds:8.3f} s  ({seconds / args.images * 1e3:6.2f} ms an image)")
    plain, one, two = times.values()
    print(f"\n  command overhead, --jobs 1   {100 * (one - plain) / plain:+7.1f} %")
    print(f"  speed-up of --jobs 2         {one / two:7.2f}x")


if __name__ == "__main__":
    main()
