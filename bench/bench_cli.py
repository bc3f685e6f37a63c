"""The carvola command over a folder of 200 mixed images, beside direct library calls.

Run: .venv/bin/python bench/bench_cli.py [--rounds N] [--images N]
Times `carvola adjust FOLDER --out OUT --jobs 1` and `--jobs 2` against a script that
reads, adjusts and writes the same files with ImageTool directly (each in a fresh
process, so both pay the same start-up), and prints the medians, the command's
overhead per image and the speed-up of two jobs.
"""

import argparse
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

DIRECT = textwrap.dedent(
    """
    import pathlib, sys
    from carvola.brennic import ImageTool
    source, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    for path in sorted(p for p in source.rglob("*") if p.is_file()):
        data = path.read_bytes()
        result, ratio = ImageTool(None, "fill", (255, 255, 255, 0)).adjust_size(data, True, 10.0)
        target = out / path.relative_to(source).with_suffix(".png")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(result)
    """
)


def make_images(folder, count, seed=1):
    """`count` images of mixed sizes, modes and formats, drawn from a fixed seed."""
    rng = random.Random(seed)
    for n in range(count):
        width, height = rng.choice([(640, 480), (800, 600), (1024, 768), (480, 640), (512, 512), (1280, 720)])
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
            image.save(folder / f"image{n:03d}.jpg", quality=90)


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
        variants = {
            "direct library calls": [sys.executable, "-c", DIRECT, str(source), str(work / "out")],
            "carvola adjust --jobs 1": [str(carvola), "adjust", str(source), "--out", str(work / "out"), "--jobs", "1"],
            "carvola adjust --jobs 2": [str(carvola), "adjust", str(source), "--out", str(work / "out"), "--jobs", "2"],
        }
        samples = {name: [] for name in variants}
        for _ in range(args.rounds):
            for name, command in variants.items():
                shutil.rmtree(work / "out", ignore_errors=True)
                samples[name].append(timed(command))
    times = {name: statistics.median(values) for name, values in samples.items()}
    print(f"{args.images} images, median of {args.rounds} interleaved rounds\n")
    for name, seconds in times.items():
        print(f"  {name:28s} {seconds:8.3f} s  ({seconds / args.images * 1e3:6.2f} ms an image)")
    direct, one, two = times.values()
    print(f"\n  command overhead, --jobs 1   {100 * (one - direct) / direct:+7.1f} %")
    print(f"  speed-up of --jobs 2         {one / two:7.2f}x")


if __name__ == "__main__":
    main()
