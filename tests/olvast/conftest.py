"""Fixtures of the olvast tests: the module, its plain-Python reference, recording fakes."""

import pathlib
import runpy
import types

import pytest
import requests

HERE = pathlib.Path(__file__).resolve().parent


@pytest.fixture(scope="session")
def olvast():
    import carvola.comfyui.olvast

    return carvola.comfyui.olvast


@pytest.fixture(scope="session")
def Reference():
    """The plain-Python ComfyUIManager, run under the module's own name."""
    return runpy.run_path(str(HERE / "reference.py"), run_name="carvola.comfyui.olvast")["ComfyUIManager"]


class Recorder:
    """Stand-ins for `requests`, `time`, `print` and a logger that write every call into
    one list. `outcomes` are what the successive requests give (a response, or an
    exception to raise); the clock moves only when the code sleeps. Log calls whose
    format is in `failing_formats` raise RuntimeError("logger down") after being recorded,
    and so does print when `failing_print` is set."""

    def __init__(self, outcomes=(), *, failing_formats=(), failing_print=False):
        self.events = []
        self.outcomes = list(outcomes)
        self.now = 100.0
        self.failing_formats = set(failing_formats)
        self.failing_print = failing_print
        self.requests = types.SimpleNamespace(get=self.get, exceptions=requests.exceptions)
        self.time = types.SimpleNamespace(time=self.clock, sleep=self.sleep)
        self.logger = types.SimpleNamespace(debug=self.logged("debug"), error=self.logged("error"))

    def get(self, url, **kwargs):
        self.events.append(("get", url, kwargs))
        outcome = self.outcomes.pop(0)
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    def clock(self):
        self.events.append(("time",))
        return self.now

    def sleep(self, seconds):
        self.events.append(("sleep", seconds))
        self.now += seconds

    def logged(self, level):
        def log(format, *args):
            self.events.append((level, format, args))
            if format in self.failing_formats:
                raise RuntimeError("logger down")

        return log

    def print(self, *args):
        self.events.append(("print", *args))
        if self.failing_print:
            raise OSError("stdout closed")

    def install(self, namespace, monkeypatch):
        """Puts the fakes into a module namespace as the globals the code looks up."""
        monkeypatch.setitem(namespace, "requests", self.requests)
        monkeypatch.setitem(namespace, "time", self.time)
        monkeypatch.setitem(namespace, "print", self.print)


@pytest.fixture(name="Recorder")
def recorder_class():
    return Recorder
