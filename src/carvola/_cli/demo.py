"""The demo subcommand: every capability once, on built-in defaults."""

import contextlib
import io
import sys

from ._common import Output, url_type, use_host_module


def sample_image():
    """A 1920x1080 RGBA picture drawn here: a gradient sky, a sun and a hill."""
    from PIL import Image, ImageDraw

    size = (1920, 1080)
    blue = Image.linear_gradient("L").resize(size)
    image = Image.merge("RGBA", (Image.new("L", size, 40), Image.new("L", size, 90), blue, Image.new("L", size, 255)))
    draw = ImageDraw.Draw(image)
    draw.ellipse((1350, 150, 1650, 450), fill=(255, 210, 60, 255))
    draw.polygon([(0, 1080), (0, 760), (700, 560), (1920, 820), (1920, 1080)], fill=(40, 140, 70, 255))
    return image


def _encode_png(image):
    stream = io.BytesIO()
    image.save(stream, format="PNG")
    return stream.getvalue()


def _images(image, data):
    from carvola.brennic import ImageTool
    from carvola.dravik import FluxKontextImageScale
    from carvola.quessel import ImageRatioAnalyzer
    from carvola.resize import image_resize

    tool = ImageTool()
    adjusted, ratio = tool.adjust_size(data, True)
    analyzer = ImageRatioAnalyzer(20)  # 16:9 is within reach of a search up to 20
    boxed = image_resize(image, 1024, 1024)
    return {
        "brennic": {"nearest_standard_ratio": ratio, "adjusted_png_size": _size_of(adjusted)},
        "quessel": {"exact": analyzer.get_raw_simple_ratio(data), "approximate": analyzer.get_approx_simple_ratio(data)},
        "dravik": {"kontext_size": list(FluxKontextImageScale(image).start().size)},
        "resize": {"letterbox_size": list(boxed.size)},
    }


def _size_of(png):
    import struct

    return list(struct.unpack(">II", png[16:24]))


def _sizes():
    from carvola.tulvene import GPTImageSizeCalculator

    cases = [("1:1", "2k"), ("16:9", "4k"), ("21:9", "2k"), ("16:1", "2k")]
    return [
        {k: v for k, v in GPTImageSizeCalculator.calc_size(r, p).items() if k in ("aspect_ratio", "resolution", "size")}
        for r, p in cases
    ]


def _prompts():
    from carvola.vantor import PromptBanChecker, PromptBanError

    checker = PromptBanChecker()
    words = checker.banned_words
    engine = "automaton" if checker._automaton else "regular expression" if checker._ban_regex else "none"
    prompts = ["a watercolour lighthouse at dawn"]
    if words:
        prompts.append(f"a poster that says {words[len(words) // 2]}")
    results = []
    for prompt in prompts:
        try:
            checker.check(prompt)
            results.append({"prompt": prompt, "banned": False, "hits": []})
        except PromptBanError as e:
            results.append({"prompt": prompt, "banned": True, "hits": sorted(getattr(e, "data", None) or [])})
    return {"built_in_words": len(words), "engine": engine, "prompts": results}


def _comfyui(url):
    from carvola.comfyui.olvast import ComfyUIManager

    manager = ComfyUIManager(url, 2, 10, 0.5)
    with contextlib.redirect_stdout(sys.stderr):
        ready = manager.run_reboot_and_wait()
    return {"url": manager.base_url, "ready": bool(ready)}


def run_demo(args):
    use_host_module()
    image = sample_image()
    data = _encode_png(image)
    report = {"sample": {"size": list(image.size), "mode": image.mode, "png_bytes": len(data)}}
    report.update(_images(image, data))
    report["tulvene"] = _sizes()
    report["vantor"] = _prompts()
    report["comfyui"] = _comfyui(args.comfyui_url) if args.comfyui_url else None
    Output(args.json).document(report, _describe(report))
    return 0


def _describe(r):
    lines = [
        f"sample image    {r['sample']['size'][0]}x{r['sample']['size'][1]} {r['sample']['mode']}, drawn here",
        f"brennic         nearest standard ratio {r['brennic']['nearest_standard_ratio']}, padded to "
        f"{'x'.join(map(str, r['brennic']['adjusted_png_size']))} (PNG)",
        f"quessel         exact ratio {r['quessel']['exact']}, approximate {r['quessel']['approximate']} (search range 20)",
        f"dravik          Flux Kontext size {'x'.join(map(str, r['dravik']['kontext_size']))}",
        f"resize          letterboxed into {'x'.join(map(str, r['resize']['letterbox_size']))}",
        "tulvene         " + "; ".join(f"{s['aspect_ratio']} at {s['resolution']}: {s['size']}" for s in r["tulvene"]),
        f"vantor          {r['vantor']['built_in_words']} built-in words, {r['vantor']['engine']} engine",
    ]
    for p in r["vantor"]["prompts"]:
        verdict = f"banned ({', '.join(p['hits'])})" if p["banned"] else "clean"
        lines.append(f"                {verdict}: {p['prompt']}")
    if r["comfyui"] is None:
        lines.append("comfyui         skipped (give --comfyui-url to restart a server)")
    else:
        state = "back and answering" if r["comfyui"]["ready"] else "not back in time"
        lines.append(f"comfyui         restarted {r['comfyui']['url']}: {state}")
    return lines


def add_parsers(subparsers, common):
    p = subparsers.add_parser(
        "demo", parents=[common], help="run every capability once on built-in defaults",
        description="Draw a sample image and run every module on it once (ratios, adjustment, Kontext "
        "scaling, letterboxing, sizes, prompt screening with the built-in list); restart a ComfyUI "
        "server only when --comfyui-url names one.",
    )  # fmt: skip
    p.add_argument("--comfyui-url", type=url_type, metavar="URL", help="a ComfyUI server to restart (default: skip)")
    p.set_defaults(run=run_demo, parser=p)
