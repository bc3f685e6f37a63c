"""Image subcommands: ratio, adjust, kontext, letterbox, over files and folders."""

import io
import pathlib
import struct
import zlib

from . import _batch
from ._common import Output, UsageError, cluster_option, number_type, parse_color, parse_size

FORMATS = {"png": ("PNG", ".png"), "jpeg": ("JPEG", ".jpg"), "webp": ("WEBP", ".webp")}

# The modes each output format stores as they are; others are converted (`_fit_mode`).
HELD_MODES = {
    "PNG": {"1", "L", "LA", "P", "RGB", "RGBA", "I;16", "I;16B"},
    "JPEG": {"L", "RGB"},
    "WEBP": {"RGB", "RGBA"},
}
_ALPHA_MODES = {"LA", "La", "PA", "RGBA", "RGBa"}
_GREY_MODES = {"1", "L", "LA", "La", "I", "I;16", "I;16B", "I;16L", "I;16N", "F"}
_TRANSPOSING = {5, 6, 7, 8}  # EXIF orientations that exchange width and height
_ORIENTATION = 0x0112


def _open(source, upright):
    """The decoded image, turned as its EXIF orientation says unless `upright` is false."""
    from PIL import Image, ImageOps

    with Image.open(source) as image:
        image.load()
        if upright and image.getexif().get(_ORIENTATION, 1) != 1:
            return ImageOps.exif_transpose(image)
        return image


def _to_eight_bits(image):
    """A grey image of 16-bit or float samples as an L image, scaled rather than clipped."""
    if image.mode.startswith("I;16"):
        image, scale = image.convert("I"), 1 / 257
    elif image.mode == "I":
        scale = 1 / 257 if image.getextrema()[1] > 255 else 1
    else:  # "F": samples from 0 to 1 are scaled, others clipped
        low, high = image.getextrema()
        scale = 255 if 0 <= low and high <= 1 else 1
    return image.point(lambda v: v * scale).convert("L")


def _fit_mode(image, format_name):
    """The image in a mode `format_name` stores: the same one when it can, else the nearest
    of L, LA, RGB and RGBA, keeping transparency and greyness where the format allows."""
    held = HELD_MODES[format_name]
    if image.mode in held:
        return image
    alpha = image.mode in _ALPHA_MODES or (image.mode == "P" and "transparency" in image.info)
    grey = image.mode in _GREY_MODES
    preference = (["LA", "RGBA", "L", "RGB"] if alpha else ["L", "RGB"]) if grey else (["RGBA", "RGB"] if alpha else ["RGB"])
    target = next(mode for mode in preference if mode in held)
    if image.mode in ("I", "F") or image.mode.startswith("I;16"):
        image = _to_eight_bits(image)
    elif image.mode == "P" and alpha:
        image = image.convert("RGBA")
    if image.mode in ("La", "RGBa"):  # premultiplied alpha converts only to its plain form
        image = image.convert(image.mode[:-1] + "A")
    return image if image.mode == target else image.convert(target)


def _encode(image, fmt):
    """The encoded bytes and, when the mode had to change, a note saying from what."""
    name, _ = FORMATS[fmt]
    fitted = _fit_mode(image, name)
    stream = io.BytesIO()
    fitted.save(stream, format=name)
    note = {} if fitted.mode == image.mode else {"mode": fitted.mode, "converted_from": image.mode}
    return stream.getvalue(), note


def _png_size(data):
    """Width and height from a PNG's header."""
    return list(struct.unpack(">II", data[16:24]))


def _size_only_png(width, height):
    """A PNG header and no pixels: enough for a library that only reads the size."""

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", b"") + chunk(b"IEND", b"")


class _SizeProbe:
    """Stands in for an image: records the size a resize asks for, so the library can be
    asked which resolution it would pick without scaling anything."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.size = (width, height)
        self.asked = None

    def resize(self, size, *args, **kwargs):
        self.asked = tuple(size)
        return self


def _centre_crop(image, width, height):
    """The largest centred part of `image` with the proportion width:height."""
    if image.width * height > width * image.height:  # too wide
        kept = round(image.height * width / height)
        left = (image.width - kept) // 2
        return image.crop((left, 0, left + kept, image.height))
    kept = round(image.width * height / width)
    top = (image.height - kept) // 2
    return image.crop((0, top, image.width, top + kept))


# ----- work done for one file (module-level, so worker processes can run it) -----


def ratio_one(source, outputs, temps, options):
    from PIL import Image

    from carvola.quessel import ImageRatioAnalyzer

    with Image.open(source) as image:  # unreadable files fail here, with the path named
        width, height = image.size
        orientation = image.getexif().get(_ORIENTATION, 1) if options["upright"] else 1
    if orientation in _TRANSPOSING:
        data = _size_only_png(height, width)  # the size as displayed
    else:
        data = pathlib.Path(source).read_bytes()
    analyzer = ImageRatioAnalyzer(options["search_range"])
    return {"exact": analyzer.get_raw_simple_ratio(data), "approx": analyzer.get_approx_simple_ratio(data)}


def adjust_one(source, outputs, temps, options):
    from PIL import Image

    from carvola.brennic import ImageTool

    with Image.open(source) as image:  # unreadable files fail here, with the path named
        orientation = image.getexif().get(_ORIENTATION, 1) if options["upright"] else 1
    data = pathlib.Path(source).read_bytes()
    if orientation == 1:
        given = data
    else:  # the library decodes bytes as stored: give it the picture upright, as PNG
        stream = io.BytesIO()
        _open(source, True).save(stream, format="PNG")
        given = stream.getvalue()
    tool = ImageTool(options["proportion"], options["mode"], options["fill_color"])
    result, ratio = tool.adjust_size(given, True, options["expand_percent"])
    adjusted = result is not given
    # An image that is not adjusted is copied byte for byte, under its own suffix.
    index = 0 if adjusted else 1
    _batch.write_temp(temps[index], result if adjusted else data)
    report = {"output": outputs[index], "temp": temps[index], "ratio": ratio, "adjusted": adjusted}
    if adjusted:
        report["size"] = _png_size(result)
    return report


def kontext_one(source, outputs, temps, options):
    from PIL.Image import Resampling

    from carvola.dravik import FluxKontextImageScale

    image = _open(source, options["upright"])
    if options["fit"] == "crop":
        probe = _SizeProbe(image.width, image.height)
        FluxKontextImageScale(probe).start()
        scaled = _centre_crop(image, *probe.asked).resize(probe.asked, Resampling.LANCZOS)
    else:
        scaled = FluxKontextImageScale(image).start()
    data, note = _encode(scaled, options["format"])
    _batch.write_temp(temps[0], data)
    return {"output": outputs[0], "temp": temps[0], "size": list(scaled.size), **note}


def letterbox_one(source, outputs, temps, options):
    from carvola.resize import image_resize

    width, height = options["size"]
    boxed = image_resize(_open(source, options["upright"]), width, height, options["background"])
    data, note = _encode(boxed, options["format"])
    _batch.write_temp(temps[0], data)
    return {"output": outputs[0], "temp": temps[0], "size": list(boxed.size), **note}


# ----- output names -----


def _named(suffix):
    """Names for a batch writing one file with `suffix` per input."""

    def names(relative, keep_suffix):
        if keep_suffix:
            return [relative.with_name(relative.name + suffix)]
        return [relative.with_suffix(suffix)]

    return names


def _adjust_names(relative, keep_suffix):
    # An adjusted image is written as PNG; one that is not is copied under its own name.
    return [_named(".png")(relative, keep_suffix)[0], relative]


# ----- the subcommands -----


def _batch_run(args, work, options, describe, names=_batch.no_outputs):
    out = pathlib.Path(args.out) if getattr(args, "out", None) else None
    if out is not None:
        _batch.check_output_folder(out, args.inputs)
    found, skipped_files = _batch.scan_inputs(args.inputs, exclude=out)
    existing = "fail"
    if getattr(args, "overwrite", False):
        existing = "overwrite"
    elif getattr(args, "skip_existing", False):
        existing = "skip"
    items, settled = _batch.plan_batch(found, out or pathlib.Path(), names, existing=existing)
    executor = _batch.executor_for(args)
    if out is not None:
        _batch.make_output_folder(out)
    options["upright"] = not args.keep_orientation
    return _batch.run_batch(
        items, settled, work, options,
        executor=executor, output=Output(args.json), describe=describe,
        verbose=args.verbose, skipped_files=skipped_files, overwrite=existing == "overwrite",
    )  # fmt: skip


def _size_text(r):
    return f"{r['size'][0]}x{r['size'][1]}"


def _converted(r):
    return f" (converted from {r['converted_from']})" if "converted_from" in r else ""


def run_ratio(args):
    options = {"search_range": args.range}
    return _batch_run(args, ratio_one, options, lambda r: f"{r['input']}: exact {r['exact']}, approximate {r['approx']}")


def _standard_proportion(text):
    from carvola.brennic import ImageTool

    if text is None:
        return None
    ratios = list(ImageTool.STANDARD_RATIO_LIST)
    stripped = text.strip()
    if stripped not in ratios:
        raise UsageError(f"proportion {text!r} is not a standard ratio; use one of {', '.join(ratios)}")
    return stripped


def run_adjust(args):
    options = {
        "proportion": _standard_proportion(args.proportion),
        "mode": args.mode,
        "fill_color": parse_color(args.fill_color, {3, 4}),
        "expand_percent": args.expand_percent,
    }

    def describe(r):
        if not r["adjusted"]:
            return f"{r['input']}: closest ratio is not {r['ratio']}, copied unchanged to {r['output']}"
        return f"{r['input']}: {r['ratio']}, {_size_text(r)} -> {r['output']}"

    return _batch_run(args, adjust_one, options, describe, _adjust_names)


def run_kontext(args):
    options = {"format": args.format, "fit": args.fit}
    return _batch_run(
        args, kontext_one, options, lambda r: f"{r['input']}: {_size_text(r)}{_converted(r)} -> {r['output']}",
        _named(FORMATS[args.format][1]),
    )  # fmt: skip


def run_letterbox(args):
    options = {
        "size": parse_size(args.size),
        "background": parse_color(args.background, {3}),
        "format": args.format,
    }
    return _batch_run(
        args, letterbox_one, options, lambda r: f"{r['input']}: {_size_text(r)}{_converted(r)} -> {r['output']}",
        _named(FORMATS[args.format][1]),
    )  # fmt: skip


NAMES_HELP = (
    "Outputs keep the input's path below each input folder, with the output format's suffix. When two "
    "inputs would get the same output name (hopper.gif and hopper.jpg), both keep their own suffix in "
    "it (hopper.gif.png, hopper.jpg.png), whatever the order or --jobs; a clash that remains (the same "
    "path in two input folders) is refused before any work starts. An output folder inside an input "
    "folder is never read as input; an input folder as output folder is refused. An output that exists "
    "fails its input unless --overwrite or --skip-existing says otherwise; inputs are never replaced."
)


def add_parsers(subparsers, common):
    import argparse

    batch = argparse.ArgumentParser(add_help=False)
    batch.add_argument(
        "inputs", nargs="+", metavar="INPUT",
        help="image files or folders (searched recursively for every suffix Pillow can open)",
    )  # fmt: skip
    where = batch.add_mutually_exclusive_group()
    where.add_argument("--jobs", "-j", type=number_type(int, at_least=1), default=1, help="worker processes (default 1)")
    where.add_argument(
        "--cluster", type=cluster_option, metavar="ADDRESS|local:N",
        help="run on a Dask cluster: a scheduler's address (tcp://HOST:8786), or local:N worker processes "
        "started for this run; every worker must see the inputs and the output folder under the same paths",
    )  # fmt: skip
    batch.add_argument(
        "--keep-orientation", action="store_true",
        help="use the pixels as stored, ignoring the EXIF orientation (default: as displayed, upright)",
    )  # fmt: skip
    writes = argparse.ArgumentParser(add_help=False)
    writes.add_argument("--out", "-o", required=True, metavar="DIR", help="output folder (created if missing)")
    policy = writes.add_mutually_exclusive_group()
    policy.add_argument("--overwrite", action="store_true", help="replace outputs that exist (never an input)")
    policy.add_argument("--skip-existing", action="store_true", help="leave inputs whose output exists (resumes a batch)")
    fmt = argparse.ArgumentParser(add_help=False)
    fmt.add_argument(
        "--format", choices=sorted(FORMATS), default="png",
        help="output format (default png); an image whose mode the format cannot store is converted to "
        "the nearest of L, LA, RGB and RGBA, and its JSON line says so",
    )  # fmt: skip

    p = subparsers.add_parser(
        "ratio", parents=[common, batch], help="exact and approximate ratios of images",
        description="Print each image's exact reduced width:height ratio and the nearest ratio of two small "
        "integers (both from 1 to --range), of the image as displayed.",
    )  # fmt: skip
    p.add_argument(
        "--range", type=number_type(int, at_least=1), default=10,
        help="largest integer the approximation tries (default 10)",
    )  # fmt: skip
    p.set_defaults(run=run_ratio, parser=p)

    p = subparsers.add_parser(
        "adjust", parents=[common, batch, writes], help="widen the shorter side of images (PNG out)",
        description="Widen each image's shorter side by a percentage, stretching (resize) or padding (fill), "
        "and write it as PNG. With --proportion, only images whose closest standard ratio is that "
        "ratio are adjusted; the others are copied byte for byte under their own name. " + NAMES_HELP,
    )  # fmt: skip
    p.add_argument(
        "--proportion", "-p", default=None,
        help='target standard ratio such as "16:9" (default: all); one of the ten standard ratios',
    )  # fmt: skip
    p.add_argument("--mode", "-m", choices=["fill", "resize"], default="fill", help="pad or stretch (default fill)")
    p.add_argument("--fill-color", default="255,255,255,0", help="RGBA padding colour (default 255,255,255,0)")
    p.add_argument(
        "--expand-percent", type=number_type(float, above=-100), default=10.0,
        help="how much to widen, in percent, above -100; a negative value narrows (default 10)",
    )  # fmt: skip
    p.set_defaults(run=run_adjust, parser=p)

    p = subparsers.add_parser(
        "kontext", parents=[common, batch, writes, fmt], help="scale images to the nearest Kontext resolution",
        description="Scale each image to the preferred Flux Kontext resolution nearest its aspect ratio. "
        + NAMES_HELP,
    )  # fmt: skip
    p.add_argument(
        "--fit", choices=["stretch", "crop"], default="stretch",
        help="stretch: scale the whole image to the resolution (default); crop: first cut the centre to "
        "the resolution's proportion, so that nothing is distorted",
    )  # fmt: skip
    p.set_defaults(run=run_kontext, parser=p)

    p = subparsers.add_parser(
        "letterbox", parents=[common, batch, writes, fmt], help="fit images into a box on a background",
        description="Scale each image to fit a box without changing its proportions and centre it on a "
        "background of exactly the box size (RGB out). " + NAMES_HELP,
    )  # fmt: skip
    p.add_argument("--size", "-s", required=True, help="the box, WIDTHxHEIGHT")
    p.add_argument("--background", "-b", default="0,0,0", help="RGB background colour (default 0,0,0)")
    p.set_defaults(run=run_letterbox, parser=p)
