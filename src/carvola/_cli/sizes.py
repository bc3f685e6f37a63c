"""The size subcommand: legal gpt-image-2 output sizes."""

from ._common import Output, UsageError, check_ratio, use_host_module


def run_size(args):
    use_host_module()
    from carvola import tulvene

    check_ratio(args.aspect_ratio)
    try:
        result = tulvene.GPTImageSizeCalculator.calc_size(args.aspect_ratio, args.resolution, args.strict)
    except (ValueError, ZeroDivisionError) as e:
        raise UsageError(f"bad aspect ratio {args.aspect_ratio!r}: {e}") from None
    except tulvene.ServiceError as e:
        # A well-formed ratio the strict check refuses: a result, not a usage error.
        Output(args.json).document(
            {"aspect_ratio": args.aspect_ratio, "refused": str(e)}, f"refused {args.aspect_ratio}: {e}"
        )
        return 1
    Output(args.json).document(result, [f"{key}: {value}" for key, value in result.items()])
    return 0 if result["valid"] else 1


def add_parsers(subparsers, common):
    p = subparsers.add_parser(
        "size", parents=[common], help="a legal gpt-image-2 size for an aspect ratio",
        description="Compute a legal gpt-image-2 output size from an aspect ratio and a resolution preset. "
        "Exit status 1 when no valid size was reached or --strict refused the ratio.",
    )  # fmt: skip
    p.add_argument("aspect_ratio", nargs="?", default="1:1", help='width:height, such as "16:9" (default 1:1)')
    p.add_argument("--resolution", "-r", choices=["1k", "2k", "4k"], default="2k", help="preset (default 2k)")
    p.add_argument("--strict", action="store_true", help="refuse ratios beyond 3:1 instead of narrowing them")
    p.set_defaults(run=run_size, parser=p)
