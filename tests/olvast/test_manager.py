"""ComfyUIManager against recording fakes: construction, the exact sequences of calls, log
lines and printed lines, and the same behaviour as the plain-Python reference."""

import http
import logging
import sys
import types
import typing

import pytest
import requests

BASE = "http://127.0.0.1:9//"
FLAG = "comfyui服务重启 [http://127.0.0.1:9//]"
REBOOT = "http://127.0.0.1:9/api/manager/reboot"
STATS = "http://127.0.0.1:9/api/system_stats"
SETTINGS = {"timeout": 3, "max_wait_seconds": 1, "poll_interval": 0.4}

T1 = "%s 调用重启接口 url=%s"
T2 = "%s 服务接收重启指令，主动断开连接，开始等待恢复 url=%s"
T3 = "%s 连接异常：%s url=%s"
T4 = "%s 发起重启请求异常: %s url=%s"
REFUSED = "%s 重启接口返回异常状态码 %s url=%s"
W1 = "%s 开始轮询 %s，最长等待 %ss"
W2 = "%s 服务已恢复正常，状态码200"
W3 = "%s 接口返回异常状态码 %s，继续等待..."
W4 = "%s 超时 %ss，服务未恢复"
P1 = FLAG + " 服务未启动/连接拒绝，等待中..."
R1 = "%s 重启完成，服务正常可用"
R2 = "%s 重启后超时未恢复"

CLOSED_TEXT = "('Connection aborted.', RemoteDisconnected('Remote end closed connection without response'))"
REFUSED_TEXT = "HTTPConnectionPool(host='127.0.0.1', port=9): Max retries exceeded ([Errno 111] Connection refused)"


def response(status):
    return types.SimpleNamespace(status_code=status)


def closed():
    return requests.exceptions.ConnectionError(CLOSED_TEXT)


def refused():
    return requests.exceptions.ConnectionError(REFUSED_TEXT)


GET_REBOOT = ("get", REBOOT, {"timeout": 3})
GET_STATS = ("get", STATS, {"timeout": 3})
TIME = ("time",)
SLEEP = ("sleep", 0.4)
START = [TIME, ("debug", W1, (FLAG, STATS, 1)), TIME]
TIMED_OUT = [TIME, ("error", W4, (FLAG, 1))]
REFUSED_ROUND = [GET_STATS, ("print", P1), SLEEP]

# name: (method, request outcomes, recorder options, expected calls, expected result)
SCENARIOS = {
    "restart answered": ("trigger_reboot", [response(200)], {}, [GET_REBOOT, ("debug", T1, (FLAG, REBOOT))], None),
    "restart answered 399": ("trigger_reboot", [response(399)], {}, [GET_REBOOT, ("debug", T1, (FLAG, REBOOT))], None),
    "restart status not a number": (
        "trigger_reboot", [response("404")], {}, [GET_REBOOT, ("debug", T1, (FLAG, REBOOT))], None),
    "restart response without status": (
        "trigger_reboot", [object()], {}, [GET_REBOOT, ("debug", T1, (FLAG, REBOOT))], None),
    "restart endpoint missing": (
        "trigger_reboot", [response(404)], {}, [GET_REBOOT, ("error", REFUSED, (FLAG, 404, REBOOT))], None),
    "restart server error": (
        "trigger_reboot", [response(500.0)], {}, [GET_REBOOT, ("error", REFUSED, (FLAG, 500.0, REBOOT))], None),
    "restart forbidden enum": (
        "trigger_reboot", [response(http.HTTPStatus.FORBIDDEN)], {},
        [GET_REBOOT, ("error", REFUSED, (FLAG, http.HTTPStatus.FORBIDDEN, REBOOT))], None),
    "restart closes the connection": ("trigger_reboot", [closed()], {}, [GET_REBOOT, ("debug", T2, (FLAG, REBOOT))], None),
    "restart refused": ("trigger_reboot", [refused()], {}, [GET_REBOOT, ("debug", T3, (FLAG, REFUSED_TEXT, REBOOT))], None),
    "restart timed out": (
        "trigger_reboot", [requests.exceptions.ReadTimeout("Read timed out.")], {},
        [GET_REBOOT, ("debug", T4, (FLAG, "Read timed out.", REBOOT))], None),
    "restart log line fails": (
        "trigger_reboot", [response(200)], {"failing_formats": {T1}},
        [GET_REBOOT, ("debug", T1, (FLAG, REBOOT)), ("debug", T4, (FLAG, "logger down", REBOOT))], None),
    "restart failure log fails": (
        "trigger_reboot", [refused()], {"failing_formats": {T3}},
        [GET_REBOOT, ("debug", T3, (FLAG, REFUSED_TEXT, REBOOT))],
        (RuntimeError, "logger down", requests.exceptions.ConnectionError)),
    "restart interrupted": (
        "trigger_reboot", [KeyboardInterrupt()], {}, [GET_REBOOT], (KeyboardInterrupt, "", None)),
    "zero budget": (
        "wait_service_ready", [], {"max_wait_seconds": 0},
        [TIME, ("debug", W1, (FLAG, STATS, 0)), TIME, ("error", W4, (FLAG, 0))], False),
    "negative budget": (
        "wait_service_ready", [], {"max_wait_seconds": -5},
        [TIME, ("debug", W1, (FLAG, STATS, -5)), TIME, ("error", W4, (FLAG, -5))], False),
    "503 then 200": (
        "wait_service_ready", [response(503), response(200)], {},
        [*START, GET_STATS, ("debug", W3, (FLAG, 503)), SLEEP, TIME, GET_STATS, ("debug", W2, (FLAG,))], True),
    "200.0 is 200": ("wait_service_ready", [response(200.0)], {}, [*START, GET_STATS, ("debug", W2, (FLAG,))], True),
    "refused until the budget is spent": (
        "wait_service_ready", [refused()] * 3, {}, [*START, *REFUSED_ROUND, TIME, *REFUSED_ROUND, TIME,
                                                    *REFUSED_ROUND, *TIMED_OUT], False),
    "other errors are printed": (
        "wait_service_ready", [ValueError("boom"), response(200)], {},
        [*START, GET_STATS, ("print", FLAG + " 请求异常: boom"), SLEEP, TIME, GET_STATS, ("debug", W2, (FLAG,))], True),
    "ready line fails": (
        "wait_service_ready", [response(200)] * 3, {"failing_formats": {W2}},
        [*START, GET_STATS, ("debug", W2, (FLAG,)), ("print", FLAG + " 请求异常: logger down"), SLEEP, TIME,
         GET_STATS, ("debug", W2, (FLAG,)), ("print", FLAG + " 请求异常: logger down"), SLEEP, TIME, GET_STATS,
         ("debug", W2, (FLAG,)), ("print", FLAG + " 请求异常: logger down"), SLEEP, *TIMED_OUT], False),
    "print fails": (
        "wait_service_ready", [refused()], {"failing_print": True}, [*START, GET_STATS, ("print", P1)],
        (OSError, "stdout closed", requests.exceptions.ConnectionError)),
    "poll interrupted": (
        "wait_service_ready", [KeyboardInterrupt()], {}, [*START, GET_STATS], (KeyboardInterrupt, "", None)),
    "restart and wait": (
        "run_reboot_and_wait", [closed(), response(503), response(200)], {},
        [GET_REBOOT, ("debug", T2, (FLAG, REBOOT)), *START, GET_STATS, ("debug", W3, (FLAG, 503)), SLEEP, TIME,
         GET_STATS, ("debug", W2, (FLAG,)), ("debug", R1, (FLAG,))], True),
    "restart never comes back": (
        "run_reboot_and_wait", [closed(), *[refused()] * 3], {},
        [GET_REBOOT, ("debug", T2, (FLAG, REBOOT)), *START, *REFUSED_ROUND, TIME, *REFUSED_ROUND, TIME,
         *REFUSED_ROUND, *TIMED_OUT, ("error", R2, (FLAG,))], False),
}  # fmt: skip


def play(cls, namespace, monkeypatch, Recorder, name):
    """Runs one scenario on `cls` with its fakes installed in `namespace`; returns the
    calls made (instance attribute reads included) and the outcome."""
    method, outcomes, options, _, _ = SCENARIOS[name]
    options = dict(options)
    settings = {**SETTINGS, "max_wait_seconds": options.pop("max_wait_seconds", 1)}
    recorder = Recorder(outcomes, **options)
    recorder.install(namespace, monkeypatch)
    events = recorder.events

    class Traced(cls):
        def __getattribute__(self, attribute):
            events.append(("read", attribute))
            return super().__getattribute__(attribute)

    manager = Traced(BASE, logger=recorder.logger, **settings)
    del events[:]
    try:
        outcome = ("value", getattr(manager, method)())
    except BaseException as e:  # noqa: BLE001 - interrupts are outcomes here too
        context = e.__context__
        outcome = ("error", type(e), str(e), type(context) if context else None)
    # An except clause ends with the exception it handled no longer handled.
    assert sys.exc_info() == (None, None, None)
    return events, outcome


@pytest.mark.parametrize("name", SCENARIOS)
def test_calls_log_lines_and_printed_lines(olvast, monkeypatch, Recorder, name):
    events, outcome = play(olvast.ComfyUIManager, vars(olvast), monkeypatch, Recorder, name)
    *_, expected_events, expected = SCENARIOS[name]
    assert [e for e in events if e[0] != "read"] == expected_events
    if isinstance(expected, tuple):
        assert outcome[0] == "error" and outcome[1:] == expected
    else:
        assert outcome == ("value", expected) and outcome[1] is expected


@pytest.mark.parametrize("name", SCENARIOS)
def test_same_calls_and_reads_as_the_reference(olvast, Reference, monkeypatch, Recorder, name):
    native = play(olvast.ComfyUIManager, vars(olvast), monkeypatch, Recorder, name)
    reference = play(Reference, Reference.__init__.__globals__, monkeypatch, Recorder, name)
    assert native == reference


def test_budget_is_checked_before_every_round_with_a_real_clock(olvast, monkeypatch, Recorder):
    recorder = Recorder([refused()] * 100)
    recorder.install(vars(olvast), monkeypatch)
    monkeypatch.setitem(vars(olvast), "time", types.SimpleNamespace(time=iter([0.0, 0.0, 0.5, 0.99, 1.0]).__next__,
                                                                     sleep=recorder.sleep))
    manager = olvast.ComfyUIManager(BASE, 3, 1, 0, recorder.logger)
    assert manager.wait_service_ready() is False
    assert [e[0] for e in recorder.events].count("get") == 3


def test_run_reboot_and_wait_returns_what_the_wait_returned(olvast, Recorder):
    recorder = Recorder()
    ready = object()

    class Overridden(olvast.ComfyUIManager):
        def trigger_reboot(self):
            recorder.events.append(("restart",))
            return "ignored"

        def wait_service_ready(self):
            return self.result

    manager = Overridden(BASE, logger=recorder.logger)
    for result, line in [(ready, ("debug", R1, (FLAG,))), (0, ("error", R2, (FLAG,)))]:
        manager.result = result
        assert manager.run_reboot_and_wait() is result
        assert recorder.events[-2:] == [("restart",), line]


# ----- construction -----


class Text(str):
    pass


class Falsy:
    def __bool__(self):
        return False


def test_defaults_and_attributes(olvast):
    manager = olvast.ComfyUIManager()
    assert vars(manager) == {
        "base_url": "http://127.0.0.1:8188",
        "reboot_api": "http://127.0.0.1:8188/api/manager/reboot",
        "stats_api": "http://127.0.0.1:8188/api/system_stats",
        "timeout": 5,
        "max_wait": 60,
        "poll_interval": 2.0,
        "flag": "comfyui服务重启 [http://127.0.0.1:8188]",
        "logger": logging.getLogger("carvola.comfyui.olvast"),
    }
    assert list(vars(manager)) == [
        "base_url", "reboot_api", "stats_api", "timeout", "max_wait", "poll_interval", "flag", "logger"]  # fmt: skip


def test_arguments_are_converted(olvast):
    sentinel = object()
    manager = olvast.ComfyUIManager(BASE, 7.9, True, 1, sentinel)
    assert (manager.base_url, manager.reboot_api, manager.stats_api, manager.flag) == ("http://127.0.0.1:9", REBOOT,
                                                                                       STATS, FLAG)
    assert (manager.timeout, manager.max_wait, manager.poll_interval, manager.logger) == (7, 1, 1.0, sentinel)
    assert (type(manager.timeout), type(manager.max_wait), type(manager.poll_interval)) == (int, int, float)
    unchanged = "http://h:1"
    assert olvast.ComfyUIManager(unchanged).base_url is unchanged


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ({"timeout": "5"}, TypeError, "Argument 'timeout' has incorrect type (expected int, got str)"),
        ({"max_wait_seconds": None}, TypeError, "Argument 'max_wait_seconds' has incorrect type (expected int, got NoneType)"),
        ({"timeout": float("nan")}, ValueError, "cannot convert float NaN to integer"),
        ({"poll_interval": "2"}, TypeError, "must be real number, not str"),
        ({"base_url": None}, TypeError, "Argument 'base_url' has incorrect type (expected str, got NoneType)"),
        ({"base_url": Text("http://h")}, TypeError, "Argument 'base_url' has incorrect type (expected str, got Text). "),
        # the conversions come first, in parameter order, then the exact-type check
        ({"base_url": None, "max_wait_seconds": "x", "poll_interval": "y"}, TypeError, "Argument 'max_wait_seconds'"),
        ({"base_url": None, "poll_interval": "y"}, TypeError, "must be real number, not str"),
    ],
)  # fmt: skip
def test_bad_arguments_raise_and_set_nothing(olvast, arguments, error, message):
    manager = object.__new__(olvast.ComfyUIManager)
    with pytest.raises(error) as raised:
        manager.__init__(**arguments)
    assert str(raised.value).startswith(message)
    assert vars(manager) == {}


def test_a_falsy_logger_gives_the_module_logger_looked_up_at_use(olvast, monkeypatch):
    requested = []
    monkeypatch.setattr(olvast, "logging", types.SimpleNamespace(getLogger=lambda name: requested.append(name) or name))
    for falsy in [None, 0, "", Falsy()]:
        assert olvast.ComfyUIManager(logger=falsy).logger == "carvola.comfyui.olvast"
    assert requested == ["carvola.comfyui.olvast"] * 4
    truthy = types.SimpleNamespace()
    assert olvast.ComfyUIManager(logger=truthy).logger is truthy


# ----- module and class -----


def test_module_globals_are_the_imported_objects(olvast):
    import time

    assert olvast.time is time and olvast.logging is logging and olvast.requests is requests
    assert olvast.Optional is typing.Optional


def test_an_exception_handled_by_the_caller_stays_handled(olvast, monkeypatch, Recorder):
    recorder = Recorder([refused(), refused()], failing_formats={T3})
    recorder.install(vars(olvast), monkeypatch)
    manager = olvast.ComfyUIManager(BASE, logger=recorder.logger)
    try:
        raise KeyError("outer")
    except KeyError as outer:
        with pytest.raises(RuntimeError) as raised:
            manager.trigger_reboot()
        assert sys.exc_info()[1] is outer
        connection_error = raised.value.__context__
        assert type(connection_error) is requests.exceptions.ConnectionError and connection_error.__context__ is outer
