"""What every subcommand shares: user errors, output, logging, argument checks, the host module."""

import argparse
import json
import logging
import re
import sys
import urllib.parse


class UsageError(Exception):
    """A mistake in how the command was called: one line, exit status 2."""


def use_host_module():
    """Makes `pelvane` importable: the host's own when it has one, else the stand-in."""
    try:
        import pelvane  # noqa: F401
    except ImportError:
        import carvola._host

        sys.modules.setdefault("pelvane", carvola._host)


def configure_logging(verbosity):
    """Where log lines go: carvola's warnings by default, its debug lines with -v, every
    library's (Pillow, urllib3) with -vv. Pillow's own log stays quiet below -vv: its
    lines are about decoder internals, and failures reach the user as results."""
    root = logging.getLogger()
    for handler in list(root.handlers):
        root.removeHandler(handler)
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
    root.addHandler(handler)
    root.setLevel(logging.DEBUG if verbosity >= 2 else logging.WARNING)
    logging.getLogger("carvola").setLevel(logging.DEBUG if verbosity >= 1 else logging.WARNING)
    logging.getLogger("PIL").setLevel(logging.NOTSET if verbosity >= 2 else logging.CRITICAL + 1)


class Output:
    """Text for people or JSON for programs, on standard output. While a progress bar is
    drawn on standard error, every line goes through the bar's own writer, which clears
    the bar, writes the line and draws the bar again."""

    def __init__(self, as_json):
        self.as_json = as_json
        self.bar = None

    def line(self, text, stream=None):
        stream = stream or sys.stdout
        if self.bar is not None:
            self.bar.write(text, file=stream)
            stream.flush()
        else:
            print(text, file=stream, flush=True)

    def document(self, data, text):
        """One result: `data` as one JSON document, or `text` (a string or lines)."""
        if self.as_json:
            self.line(json.dumps(data, ensure_ascii=False))
        else:
            self.line(text if isinstance(text, str) else "\n".join(text))

    def item(self, data, text):
        """One result of a batch: a JSON line, or a line of text."""
        self.line(json.dumps(data, ensure_ascii=False) if self.as_json else text)

    def error(self, text):
        """A line for people on standard error, whatever the output format."""
        self.line(text, sys.stderr)


def parse_color(text, channels):
    """"255,255,255" or "255,255,255,0" into a tuple of ints."""
    try:
        parts = tuple(int(p) for p in text.split(","))
    except ValueError:
        raise UsageError(f"colour {text!r} is not comma-separated integers") from None
    if len(parts) not in channels or not all(0 <= p <= 255 for p in parts):
        wanted = " or ".join(str(c) for c in sorted(channels))
        raise UsageError(f"colour {text!r} needs {wanted} values from 0 to 255")
    return parts


def parse_size(text):
    """"1024x768" into (1024, 768)."""
    width, sep, height = text.lower().partition("x")
    if not sep or not width.strip().isdigit() or not height.strip().isdigit():
        raise UsageError(f"size {text!r} is not WIDTHxHEIGHT")
    size = int(width), int(height)
    if min(size) < 1 or max(size) > 65535:
        raise UsageError(f"size {text!r} is out of range (1 to 65535 a side)")
    return size


_RATIO = re.compile(r"\s*(\d+)\s*:\s*(\d+)\s*")


def check_ratio(text):
    """A "W:H" ratio with positive whole sides, else a usage error."""
    match = _RATIO.fullmatch(text)
    if not match or int(match[1]) == 0 or int(match[2]) == 0:
        raise UsageError(f"ratio {text!r} is not W:H with two positive whole numbers, such as 16:9")
    return text


def number_type(convert, *, above=None, at_least=None):
    """An argparse type: `convert` (int or float) with a lower bound, so that a bad value
    is a one-line usage error naming the option."""

    def check(text):
        try:
            value = convert(text)
        except ValueError:
            kind = "a whole number" if convert is int else "a number"
            raise argparse.ArgumentTypeError(f"{text!r} is not {kind}") from None
        if value != value or value in (float("inf"), float("-inf")):
            raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
        if above is not None and not value > above:
            raise argparse.ArgumentTypeError(f"{text!r} must be above {above}")
        if at_least is not None and value < at_least:
            raise argparse.ArgumentTypeError(f"{text!r} must be at least {at_least}")
        return value

    check.__name__ = convert.__name__  # argparse names the type in some messages
    return check


def url_type(text):
    """An argparse type: an http or https URL with a host."""
    parts = urllib.parse.urlsplit(text)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise argparse.ArgumentTypeError(f"{text!r} is not an http:// or https:// URL with a host")
    return text


def cluster_option(text):
    """An argparse type for `--cluster`: ("local", N) for `local:N`, else ("address", ADDRESS)."""
    text = text.strip()
    if text.startswith("local:"):
        count = text.partition(":")[2]
        if not count.isdigit() or int(count) < 1:
            raise argparse.ArgumentTypeError(f"{text!r}: local:N needs a whole number of workers, 1 or more")
        return ("local", int(count))
    if not text or any(c.isspace() for c in text):
        raise argparse.ArgumentTypeError(f"{text!r} is not a scheduler address such as tcp://HOST:8786")
    return ("address", text)
