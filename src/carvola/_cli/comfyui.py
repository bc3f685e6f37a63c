"""The comfyui subcommands: restart a ComfyUI server and wait until it answers again."""

import argparse
import contextlib
import logging
import re
import sys
import time

from ._common import Output, number_type, url_type

DEFAULT_URL = "http://127.0.0.1:8188"
LOGGER = "carvola.comfyui.olvast"

# The manager's log formats for the outcomes of a restart request. Outcomes are told apart
# by format string, which stays fixed, never by the formatted text.
ANSWERED = "%s 调用重启接口 url=%s"
REFUSED = "%s 重启接口返回异常状态码 %s url=%s"
DROPPED = "%s 服务接收重启指令，主动断开连接，开始等待恢复 url=%s"
NOT_CONNECTED = "%s 连接异常：%s url=%s"
REQUEST_FAILED = "%s 发起重启请求异常: %s url=%s"

_ERRNO = re.compile(r"\[Errno -?\d+\] [^'\")]+")

DOWN_POLL = 0.1  # seconds between checks that the server went down


class _Recorder(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


def _recording_logger():
    """A logger for the manager that keeps every record and passes it on to the manager's
    usual logger, so -v shows the lines as ever."""
    logger = logging.Logger(LOGGER, logging.DEBUG)  # not registered: private to this run
    recorder = _Recorder()
    logger.addHandler(recorder)
    usual = logging.getLogger(LOGGER)

    class Forward(logging.Handler):
        def emit(self, record):
            if usual.isEnabledFor(record.levelno):
                usual.handle(record)

    logger.addHandler(Forward())
    return logger, recorder


def _manager(args, logger=None):
    from carvola.comfyui.olvast import ComfyUIManager

    return ComfyUIManager(args.url, args.timeout, args.max_wait, args.poll_interval, logger)


def _printed_lines_to_stderr(args):
    """The manager prints progress lines; JSON output keeps standard output to itself."""
    return contextlib.redirect_stdout(sys.stderr) if args.json else contextlib.nullcontext()


def _went_down(manager, within):
    """Whether the status endpoint stops answering within `within` seconds, checked every
    DOWN_POLL seconds. A refused, dropped or timed-out connection is down."""
    import requests

    deadline = time.monotonic() + within
    while True:
        try:
            requests.get(manager.stats_api, timeout=max(DOWN_POLL, min(manager.timeout, 1)))
        except requests.exceptions.RequestException:
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(DOWN_POLL)


def _reason(text):
    """The operating system's words from a connection error, without the layers around them."""
    found = _ERRNO.search(str(text))
    return found[0] if found else str(text)


def _restart(args, manager, recorder):
    """Sends the restart and confirms that the server went down. Returns None when it did,
    else the reason for failing."""
    manager.trigger_reboot()
    outcomes = (ANSWERED, REFUSED, DROPPED, NOT_CONNECTED, REQUEST_FAILED)
    outcome = next((record for record in recorder.records if record.msg in outcomes), None)
    if outcome is None:
        return "the restart request left no outcome"
    if outcome.msg == REFUSED:
        return f"restart refused (HTTP status {outcome.args[1]})"
    if outcome.msg == NOT_CONNECTED:
        return f"restart not delivered: {_reason(outcome.args[1])}"
    if outcome.msg == DROPPED:
        return None  # the server closed the connection as it went down
    # Answered, or the request failed in another way (a time-out): down or not decides.
    if _went_down(manager, args.down_wait):
        return None
    if outcome.msg == REQUEST_FAILED:
        return f"restart not delivered: {_reason(outcome.args[1])}"
    return f"did not restart: still answering after {args.down_wait:g} s"


def run_restart(args):
    logger, recorder = _recording_logger()
    manager = _manager(args, logger)
    output = Output(args.json)
    with _printed_lines_to_stderr(args):
        failure = _restart(args, manager, recorder)
        ready = None if failure or args.no_wait else bool(manager.wait_service_ready())
    if failure:
        output.document({"url": manager.base_url, "restarted": False, "error": failure}, f"{manager.base_url}: {failure}")
        return 1
    if ready is None:
        output.document({"url": manager.base_url, "restarted": True}, f"{manager.base_url}: restarting (went down)")
        return 0
    text = f"{manager.base_url}: {'back and answering' if ready else 'went down, not back within the budget'}"
    output.document({"url": manager.base_url, "restarted": True, "ready": ready}, text)
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
    server.add_argument(
        "--url", type=url_type, default=DEFAULT_URL, help=f"the server's base URL (default {DEFAULT_URL})"
    )
    server.add_argument(
        "--timeout", type=number_type(int, at_least=1), default=5, help="seconds per HTTP request (default 5)"
    )
    server.add_argument(
        "--max-wait", type=number_type(int, at_least=0), default=60, help="seconds to wait for the server (default 60)"
    )
    server.add_argument(
        "--poll-interval", type=number_type(float, at_least=0), default=2.0, help="seconds between polls (default 2)"
    )

    group = subparsers.add_parser(
        "comfyui", help="restart a ComfyUI server or wait for it",
        description="Restart a ComfyUI server through its manager API, or wait until it answers.",
    )  # fmt: skip
    group.set_defaults(parser=group)
    commands = group.add_subparsers(dest="comfyui_command", metavar="COMMAND", required=True)
    p = commands.add_parser(
        "restart", parents=[common, server], help="restart the server and wait until it is back",
        description="Ask the server to restart, confirm that it went down (a connection the restart closes "
        "counts; otherwise its status is checked every 0.1 s for up to --down-wait seconds), then poll "
        "its status until it answers or --max-wait passes. Exit status 0 when it went down and is back; "
        "1 when the restart was refused or not delivered, the server never went down, or it did not "
        "come back.",
    )  # fmt: skip
    p.add_argument(
        "--down-wait", type=number_type(float, above=0), default=10.0,
        help="seconds to wait for the server to go down after the request (default 10)",
    )  # fmt: skip
    p.add_argument("--no-wait", action="store_true", help="confirm that the server went down, not that it came back")
    p.set_defaults(run=run_restart, parser=p)
    p = commands.add_parser(
        "wait", parents=[common, server], help="wait until the server answers",
        description="Poll the server's status until it answers or --max-wait passes. Exit status 0 when it "
        "answers, 1 when not.",
    )  # fmt: skip
    p.set_defaults(run=run_wait, parser=p)
