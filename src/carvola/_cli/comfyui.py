"""The comfyui subcommands: restart a ComfyUI server and wait until it answers again."""

import argparse
import contextlib
import sys

from ._common import Output, UsageError

DEFAULT_URL = "http://127.0.0.1:8188"


def _manager(args):
    from carvola.comfyui.olvast import ComfyUIManager

    if args.timeout <= 0 or args.poll_interval < 0:
        raise UsageError("--timeout must be positive and --poll-interval not negative")
    return ComfyUIManager(args.url, args.timeout, args.max_wait, args.poll_interval)


def _printed_lines_to_stderr(args):
    """The manager prints progress lines; JSON output keeps standard output to itself."""
    return contextlib.redirect_stdout(sys.stderr) if args.json else contextlib.nullcontext()


def run_restart(args):
    manager = _manager(args)
    with _printed_lines_to_stderr(args):
        if args.no_wait:
            manager.trigger_reboot()
            ready = None
        else:
            ready = manager.run_reboot_and_wait()
    if ready is None:
        Output(args.json).document({"url": manager.base_url, "sent": True}, f"restart sent to {manager.base_url}")
        return 0
    text = f"{manager.base_url}: {'back and answering' if ready else 'not back within the budget'}"
    Output(args.json).document({"url": manager.base_url, "ready": bool(ready)}, text)
    return 0 if ready else 1


def run_wait(args):
    manager = _manager(args)
    with _printed_lines_to_stderr(args):
        ready = manager.wait_service_ready()
    text = f"{manager.base_url}: {'answering' if ready else 'not answering within the budget'}"
    Output(args.json).document({"url": manager.base_url, "ready": bool(ready)}, text)
    return 0 if ready else 1


def add_parsers(subparsers, common):
    server = argparse.ArgumentParser(add_help=False)
    server.add_argument("--url", default=DEFAULT_URL, help=f"the server's base URL (default {DEFAULT_URL})")
    server.add_argument("--timeout", type=int, default=5, help="seconds per HTTP request (default 5)")
    server.add_argument("--max-wait", type=int, default=60, help="seconds to wait for the server (default 60)")
    server.add_argument("--poll-interval", type=float, default=2.0, help="seconds between polls (default 2)")

    group = subparsers.add_parser(
        "comfyui", help="restart a ComfyUI server or wait for it",
        description="Restart a ComfyUI server through its manager API, or wait until it answers.",
    )  # fmt: skip
    commands = group.add_subparsers(dest="comfyui_command", metavar="COMMAND", required=True)
    p = commands.add_parser(
        "restart", parents=[common, server], help="restart the server and wait until it is back",
        description="Ask the server to restart, then poll its status until it answers or --max-wait passes. "
        "Exit status 0 when it is back, 1 when not.",
    )  # fmt: skip
    p.add_argument("--no-wait", action="store_true", help="only send the restart request")
    p.set_defaults(run=run_restart)
    p = commands.add_parser(
        "wait", parents=[common, server], help="wait until the server answers",
        description="Poll the server's status until it answers or --max-wait passes. Exit status 0 when it "
        "answers, 1 when not.",
    )  # fmt: skip
    p.set_defaults(run=run_wait)
