"""Every path of ComfyUIManager, succeeding and failing, called many times against fakes
that keep nothing."""

import itertools
import types

import pytest
import requests


class Quiet:
    """requests, time, print and a logger that remember nothing between calls. Each
    outcome is a factory: a response, or an exception made afresh for every raise."""

    def __init__(self, *outcomes, failing_format=None, failing_print=False):
        self.outcomes = itertools.cycle(outcomes)
        self.now = 0.0
        self.failing_format = failing_format
        self.failing_print = failing_print
        self.requests = types.SimpleNamespace(get=self.get, exceptions=requests.exceptions)
        self.time = types.SimpleNamespace(time=lambda: self.now, sleep=self.sleep)
        self.logger = types.SimpleNamespace(debug=self.log, error=self.log)

    def get(self, url, timeout):
        outcome = next(self.outcomes)()
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    def sleep(self, seconds):
        self.now += seconds

    def log(self, format, *args):
        if format == self.failing_format:
            raise RuntimeError("logger down")

    def print(self, line):
        if self.failing_print:
            raise OSError("stdout closed")


def status(code):
    return lambda: types.SimpleNamespace(status_code=code)


def closed():
    return requests.exceptions.ConnectionError("Remote end closed connection without response")


def refused():
    return requests.exceptions.ConnectionError("Connection refused")


def other():
    return ValueError("boom")


# name: (method or None for the constructor, fakes)
SCENARIOS = {
    "construct": (None, Quiet()),
    "restart answered": ("trigger_reboot", Quiet(status(200))),
    "restart refused status": ("trigger_reboot", Quiet(status(404))),
    "restart closed": ("trigger_reboot", Quiet(closed)),
    "restart connection refused": ("trigger_reboot", Quiet(refused)),
    "restart other error": ("trigger_reboot", Quiet(other)),
    "restart log line fails": ("trigger_reboot", Quiet(status(200), failing_format="%s 调用重启接口 url=%s")),
    "restart failure log fails": ("trigger_reboot", Quiet(refused, failing_format="%s 连接异常：%s url=%s")),
    "wait 503 then 200": ("wait_service_ready", Quiet(status(503), status(200))),
    "wait refused until the budget": ("wait_service_ready", Quiet(refused)),
    "wait other errors": ("wait_service_ready", Quiet(other)),
    "wait print fails": ("wait_service_ready", Quiet(refused, failing_print=True)),
    "restart and wait": ("run_reboot_and_wait", Quiet(closed, status(200))),
}


@pytest.mark.parametrize("name", SCENARIOS)
def test_no_leaks(olvast, monkeypatch, assert_no_leak, name):
    method, fakes = SCENARIOS[name]
    for global_name in ("requests", "time", "print"):
        monkeypatch.setattr(olvast, global_name, getattr(fakes, global_name), raising=False)
    ComfyUIManager = olvast.ComfyUIManager
    manager = ComfyUIManager("http://127.0.0.1:9/", 3, 1, 0.4, fakes.logger)
    url = "http://h//"
    if method is None:
        calls = [
            lambda: ComfyUIManager(),
            lambda: ComfyUIManager(url, 7.9, True, 1, fakes.logger),
            lambda: ComfyUIManager(None),
            lambda: ComfyUIManager(url, "5"),
            lambda: ComfyUIManager(url, float("inf")),
            lambda: ComfyUIManager(url, poll_interval="x"),
        ]
        for call in calls:
            assert_no_leak(call, watched=(url,), calls=500)
    else:
        assert_no_leak(getattr(manager, method), watched=(manager, fakes.logger), calls=500)
