"""The carvola command's parser and its run: what `main` loads once it can handle Ctrl-C."""

import argparse
import gc
import os
import sys

import carvola

from . import comfyui, demo, images, prompts, sizes
from ._common import UsageError, configure_logging


class _Parser(argparse.ArgumentParser):
    """Usage mistakes as one line and exit status 2, not a usage block."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--json", action="store_true", help="machine-readable output (JSON)")
    common.add_argument(
        "-v", "--verbose", action="count", default=0,
        help="show carvola's debug log and each file's warnings on standard error; -vv shows every library's log too",
    )  # fmt: skip

    parser = _Parser(
        prog="carvola",
        description="Image and size normalisation, prompt screening and ComfyUI restarts for an "
        "image-generation service. Exit status: 0 when everything asked for happened, 1 when work "
        "failed, 2 for usage errors (found before any work starts), 130 or 143 when stopped by "
        "SIGINT or SIGTERM, 141 when standard output was closed early.",
    )
    parser.add_argument("--version", action="version", version=f"carvola {carvola.__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)
    demo.add_parsers(subparsers, common)
    prompts.add_parsers(subparsers, common)
    sizes.add_parsers(subparsers, common)
    images.add_parsers(subparsers, common)
    comfyui.add_parsers(subparsers, common)
    return parser


def _quit(status):
    """Ends the process at once: after an interruption no thread or worker left behind
    (a killed pool's, say) may hold up the exit."""
    gc.collect()  # releases what a stopped pool left, before its resources are reported leaked
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    os._exit(status)


def _stdout_gone():
    """The reader of standard output went away: drop what is left unwritten, quietly."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
    return 141  # 128 + SIGPIPE, as a shell reports a command ended by a closed pipe


def run(argv=None):
    parser = build_parser()
    args, extra = parser.parse_known_args(argv)
    if extra:  # reported by the subcommand's parser, with its own usage
        getattr(args, "parser", parser).error(f"unrecognized arguments: {' '.join(extra)}")
    # The command, not the library, decides where log lines go.
    configure_logging(args.verbose)
    try:
        status = args.run(args)
    except UsageError as e:
        print(f"carvola {args.command}: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("carvola: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        _quit(_stdout_gone())
    except Exception as e:  # noqa: BLE001 - one line, not a traceback, unless asked for
        if args.verbose:
            raise
        print(f"carvola {args.command}: error: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
    if status in (130, 143):
        print("carvola: interrupted", file=sys.stderr)
        _quit(status)
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        return _stdout_gone()
    return status
