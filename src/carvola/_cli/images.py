"""Image subcommands: ratio, adjust, kontext, letterbox, over files and folders."""

import argparse
import io
import pathlib
import struct

from ._common import Output, collect_inputs, parse_color, parse_size, run_batch, write_atomically

FORMATS = {"png": ("PNG", ".png"), "jpeg": ("JPEG", ".jpg"), "webp": ("WEBP", ".webp")}


def _encode(image, fmt):
    name, _ = FORMATS[fmt]
    if name == "JPEG" and image.mode not in ("RGB", "L"):
        image = image.convert("RGB")
    stream = io.BytesIO()
    image.save(stream, format=name)
    return stream.getvalue()


def _open(source):
    from PIL import Image

    with Image.open(source) as image:
        image.load()
        return image


def _png_size(data):
    """Width and height from a PNG's header."""
    return list(struct.unpack(">II", data[16:24]))


# ----- work done for one file (module-level, so worker processes can run it) -----


def ratio_one(source, relative, options):
    from carvola.quessel import ImageRatioAnalyzer

    analyzer = ImageRatioAnalyzer(options["search_range"])
    data = source.read_bytes()
    return {"exact": analyzer.get_raw_simple_ratio(data), "approx": analyzer.get_approx_simple_ratio(data)}


def adjust_one(source, relative, options):
    from carvola.brennic import ImageTool

    tool = ImageTool(options["proportion"], options["mode"], options["fill_color"])
    data = source.read_bytes()
    result, ratio = tool.adjust_size(data, True, options["expand_percent"])
    adjusted = result is not data
    target = options["out"] / (relative.with_suffix(".png") if adjusted else relative)
    write_atomically(target, result)
    report = {"output": str(target), "ratio": ratio, "adjusted": adjusted}
    if adjusted:
        report["size"] = _png_size(result)
    return report


def kontext_one(source, relative, options):
    from carvola.dravik import FluxKontextImageScale

    scaled = FluxKontextImageScale(_open(source)).start()
    target = options["out"] / relative.with_suffix(FORMATS[options["format"]][1])
    write_atomically(target, _encode(scaled, options["format"]))
    return {"output": str(target), "size": list(scaled.size)}


def letterbox_one(source, relative, options):
    from carvola.resize import image_resize

    width, height = options["size"]
    boxed = image_resize(_open(source), width, height, options["background"])
    target = options["out"] / relative.with_suffix(FORMATS[options["format"]][1])
    write_atomically(target, _encode(boxed, options["format"]))
    return {"output": str(target), "size": list(boxed.size)}


# ----- the subcommands -----


def _batch(args, work, options, describe):
    items = collect_inputs(args.inputs)
    return run_batch(items, work, options, jobs=args.jobs, output=Output(args.json), describe=describe)


def run_ratio(args):
    options = {"search_range": args.range}
    return _batch(args, ratio_one, options, lambda r: f"{r['input']}: exact {r['exact']}, approximate {r['approx']}")


def run_adjust(args):
    options = {
        "out": pathlib.Path(args.out),
        "proportion": args.proportion,
        "mode": args.mode,
        "fill_color": parse_color(args.fill_color, {3, 4}),
        "expand_percent": args.expand_percent,
    }

    def describe(r):
        if not r["adjusted"]:
            return f"{r['input']}: closest ratio is not {r['ratio']}, copied unchanged to {r['output']}"
        return f"{r['input']}: {r['ratio']}, {r['size'][0]}x{r['size'][1]} -> {r['output']}"

    return _batch(args, adjust_one, options, describe)


def run_kontext(args):
    options = {"out": pathlib.Path(args.out), "format": args.format}
    return _batch(args, kontext_one, options, lambda r: f"{r['input']}: {r['size'][0]}x{r['size'][1]} -> {r['output']}")


def run_letterbox(args):
    options = {
        "out": pathlib.Path(args.out),
        "size": parse_size(args.size),
        "background": parse_color(args.background, {3}),
        "format": args.format,
    }
    return _batch(args, letterbox_one, options, lambda r: f"{r['input']}: -> {r['output']}")


def _positive(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is less than 1")
    return value


def add_parsers(subparsers, common):
    batch = argparse.ArgumentParser(add_help=False)
    batch.add_argument("inputs", nargs="+", metavar="INPUT", help="image files or folders (searched recursively)")
    batch.add_argument("--jobs", "-j", type=_positive, default=1, help="worker processes (default 1)")
    writes = argparse.ArgumentParser(add_help=False)
    writes.add_argument("--out", "-o", required=True, metavar="DIR", help="output folder (created if missing)")
    fmt = argparse.ArgumentParser(add_help=False)
    fmt.add_argument("--format", choices=sorted(FORMATS), default="png", help="output format (default png)")

    p = subparsers.add_parser(
        "ratio", parents=[common, batch], help="exact and approximate ratios of images",
        description="Print each image's exact reduced width:height ratio and the nearest ratio of two small "
        "integers (both from 1 to --range).",
    )  # fmt: skip
    p.add_argument("--range", type=int, default=10, help="largest integer the approximation tries (default 10)")
    p.set_defaults(run=run_ratio)

    p = subparsers.add_parser(
        "adjust", parents=[common, batch, writes], help="widen the shorter side of images (PNG out)",
        description="Widen each image's shorter side by a percentage, stretching (resize) or padding (fill), "
        "and write it as PNG. With --proportion, only images whose closest standard ratio is that "
        "ratio are adjusted; the others are copied unchanged.",
    )  # fmt: skip
    p.add_argument("--proportion", "-p", default=None, help='target standard ratio such as "16:9" (default: all)')
    p.add_argument("--mode", "-m", choices=["fill", "resize"], default="fill", help="pad or stretch (default fill)")
    p.add_argument("--fill-color", default="255,255,255,0", help="RGBA padding colour (default 255,255,255,0)")
    p.add_argument("--expand-percent", type=float, default=10.0, help="how much to widen, in percent (default 10)")
    p.set_defaults(run=run_adjust)

    p = subparsers.add_parser(
        "kontext", parents=[common, batch, writes, fmt], help="scale images to the nearest Kontext resolution",
        description="Scale each image to the preferred Flux Kontext resolution nearest its aspect ratio.",
    )  # fmt: skip
    p.set_defaults(run=run_kontext)

    p = subparsers.add_parser(
        "letterbox", parents=[common, batch, writes, fmt], help="fit images into a box on a background",
        description="Scale each image to fit a box without changing its proportions and centre it on a "
        "background of exactly the box size (RGB out).",
    )  # fmt: skip
    p.add_argument("--size", "-s", required=True, help="the box, WIDTHxHEIGHT")
    p.add_argument("--background", "-b", default="0,0,0", help="RGB background colour (default 0,0,0)")
    p.set_defaults(run=run_letterbox)
