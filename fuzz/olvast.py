"""ComfyUIManager: the constructor, and its calls against a stand-in for the module's
`requests` and `time` globals. The stand-in answers what the fuzzer chose and keeps a
clock of its own, so no time passes; for a share of inputs it hands the request to the
real `requests` instead, aimed at a loopback port where nothing listens. Only what
follows `http://127.0.0.1:PORT/` comes from the fuzzer: no fuzzed host is ever resolved
or contacted."""

import contextlib
import io
import logging
import socket

import requests

from common import Finding, Raising, call, chance, either, odd, pick, provider, run, text

import carvola.comfyui.olvast as olvast

# A bound socket that never listens keeps the port taken and refuses every connection.
_closed = socket.socket()
_closed.bind(("127.0.0.1", 0))
BASE = f"http://127.0.0.1:{_closed.getsockname()[1]}"
REAL_TIMEOUT = 0.5  # seconds, well below the fuzzer's 10 s per input
SAFE = "/?#"  # a URL's host part ends at the first of these


class Clock:
    """`time` for the module: every reading moves the clock on by a fuzzed step."""

    def __init__(self, fdp):
        self.now, self.fdp = 0.0, fdp

    def time(self):
        self.now += 1.0 + self.fdp.ConsumeFloatInRange(0.0, 30.0)
        return self.now

    def sleep(self, seconds):
        if not isinstance(seconds, float):
            raise Finding(f"time.sleep given {seconds!r}")


class Requests:
    """`requests` for the module: each GET returns a response or raises, as fuzzed."""

    exceptions = requests.exceptions

    def __init__(self, fdp, real):
        self.fdp, self.real = fdp, real

    def get(self, url, timeout=None):
        if self.real:
            if not url.startswith(BASE) or url[len(BASE):][:1] not in ("", *SAFE):
                raise Finding(f"a request left the loopback address: {url!r}")
            with requests.Session() as session:
                session.trust_env = False  # never through a proxy from the environment
                return session.get(url, timeout=REAL_TIMEOUT)
        outcome = self.fdp.ConsumeIntInRange(0, 5)
        if outcome == 0:
            raise requests.exceptions.ConnectionError(pick(self.fdp, ("Remote end closed connection without response", "refused")))
        if outcome == 1:
            raise requests.exceptions.Timeout("timed out")
        if outcome == 2:
            raise ValueError("unexpected")
        response = requests.models.Response()
        response.status_code = pick(self.fdp, (200, 200.0, 503, 404, None, "200", Raising()))
        return response


class Logger:
    def __init__(self, fdp):
        self.fails = chance(fdp, 0.1)

    def debug(self, *args):
        if self.fails:
            raise ValueError("log")

    error = debug


def check(data):
    fdp = provider(data)
    real = chance(fdp, 0.05)
    suffix = text(fdp, 30)
    base_url = BASE + ("/" + suffix if fdp.ConsumeBool() else "")
    if not real and chance(fdp, 0.1):
        base_url = odd(fdp)
    timeout = either(fdp, lambda f: pick(f, (1, 2, 3, 0, -1)), 0.2)
    max_wait = either(fdp, lambda f: pick(f, (3, 1, 0, -1) if real else (5, 1, 0, -1, 120)), 0.2)
    interval = either(fdp, lambda f: f.ConsumeFloatInRange(-1.0, 5.0), 0.2)
    logger = pick(fdp, (None, 0, "", logging.getLogger("carvola-fuzz"), Logger(fdp)))
    saved = olvast.requests, olvast.time
    olvast.requests, olvast.time = Requests(fdp, real), Clock(fdp)
    try:
        manager = call(olvast.ComfyUIManager, olvast.ComfyUIManager, base_url, timeout, max_wait, interval, logger)
        if manager is not None:
            use(manager)
    finally:
        olvast.requests, olvast.time = saved


def use(manager):
    if not (type(manager.base_url) is str and manager.reboot_api.startswith(manager.base_url)
            and type(manager.timeout) is int and type(manager.max_wait) is int and type(manager.poll_interval) is float):
        raise Finding(f"attributes of the wrong type: {vars(manager)!r:.300}")
    with contextlib.redirect_stdout(io.StringIO()):
        call(type(None), manager.trigger_reboot)
        call(bool, manager.wait_service_ready)
        call(bool, manager.run_reboot_and_wait)


logging.getLogger("carvola-fuzz").disabled = True
logging.getLogger(olvast.__name__).addHandler(logging.NullHandler())  # no last-resort output

if __name__ == "__main__":
    run(check)
