"""The carvola command: every capability of the package from the shell."""

import argparse
import logging
import sys

import carvola

from . import comfyui, demo, images, prompts, sizes
from ._common import UsageError


class _Parser(argparse.ArgumentParser):
    """Usage mistakes as one line and exit status 2, not a usage block."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--json", action="store_true", help="machine-readable output (JSON)")
    common.add_argument("-v", "--verbose", action="store_true", help="show debug log lines on standard error")

    parser = _Parser(
        prog="carvola",
        description="Image and size normalisation, prompt screening and ComfyUI restarts for an "
        "image-generation service.",
    )
    parser.add_argument("--version", action="version", version=f"carvola {carvola.__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)
    demo.add_parsers(subparsers, common)
    prompts.add_parsers(subparsers, common)
    sizes.add_parsers(subparsers, common)
    images.add_parsers(subparsers, common)
    comfyui.add_parsers(subparsers, common)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    # The command, not the library, decides where log lines go.
    logging.basicConfig(
        level=logging.DEBUG if args.verbose else logging.WARNING,
        format="%(levelname)s %(name)s: %(message)s",
        stream=sys.stderr,
    )
    try:
        return args.run(args)
    except UsageError as e:
        print(f"carvola {args.command}: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("carvola: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        sys.stderr.close()  # the reader went away; nothing left to say
        return 1
    except Exception as e:  # noqa: BLE001 - one line, not a traceback, unless asked for
        if args.verbose:
            raise
        print(f"carvola {args.command}: error: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
