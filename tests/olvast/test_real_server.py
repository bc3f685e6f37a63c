"""ComfyUIManager end to end through the real `requests` against a server on 127.0.0.1
that restarts itself as a ComfyUI server with the manager extension does
(restarting_server.py beside this file). Every server is started and stopped here; every
wait is bounded by its budget, and elapsed times are checked only as generous bounds."""

import logging
import socket
import time

import pytest

SLACK = 5.0  # a busy machine is slow, never this slow

T2 = "%s 服务接收重启指令，主动断开连接，开始等待恢复 url=%s"
T3 = "%s 连接异常：%s url=%s"
REFUSED = "%s 重启接口返回异常状态码 %s url=%s"
W1 = "%s 开始轮询 %s，最长等待 %ss"
W2 = "%s 服务已恢复正常，状态码200"
W3 = "%s 接口返回异常状态码 %s，继续等待..."
W4 = "%s 超时 %ss，服务未恢复"
R1 = "%s 重启完成，服务正常可用"
R2 = "%s 重启后超时未恢复"


@pytest.fixture
def closed_port():
    """A loopback port that refuses connections: bound, never listening, held meanwhile."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        yield s.getsockname()[1]


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.DEBUG, logger="carvola.comfyui.olvast")

    def taken():
        found = [(r.levelname, r.msg, r.args) for r in caplog.records if r.name == "carvola.comfyui.olvast"]
        caplog.clear()
        return found

    return taken


def printed(capsys):
    return capsys.readouterr().out.splitlines()


def manager_for(olvast, url, **settings):
    manager = olvast.ComfyUIManager(url, **settings)
    return manager, manager.flag, manager.reboot_api, manager.stats_api


def timed(call):
    start = time.monotonic()
    result = call()
    return result, time.monotonic() - start


def test_restart_and_wait_through_a_real_restart(olvast, start_server, records, capsys):
    server = start_server("--restart-delay=0.8", "--warmup-polls=2")
    manager, flag, reboot, stats = manager_for(olvast, server.url, timeout=2, max_wait_seconds=10, poll_interval=0.1)
    ready, elapsed = timed(manager.run_reboot_and_wait)
    assert ready is True
    assert server.listening(1) == server.port and server.process.poll() is None
    assert records() == [
        ("DEBUG", T2, (flag, reboot)),
        ("DEBUG", W1, (flag, stats, 10)),
        ("DEBUG", W3, (flag, 503)),
        ("DEBUG", W3, (flag, 503)),
        ("DEBUG", W2, (flag,)),
        ("DEBUG", R1, (flag,)),
    ]
    lines = printed(capsys)
    assert lines and set(lines) == {f"{flag} 服务未启动/连接拒绝，等待中..."}
    assert elapsed < 10 + 2 + 2 + 0.1 + SLACK


def test_restart_and_wait_called_separately_and_again(olvast, start_server, records, capsys, caplog):
    server = start_server("--restart-delay=0.5", "--warmup-polls=1")
    manager, flag, reboot, stats = manager_for(olvast, server.url, timeout=2, max_wait_seconds=10, poll_interval=0.1)
    assert manager.wait_service_ready() is True
    assert records() == [("DEBUG", W1, (flag, stats, 10)), ("DEBUG", W3, (flag, 503)), ("DEBUG", W2, (flag,))]
    assert manager.trigger_reboot() is None
    assert [r.getMessage() for r in caplog.records] == [f"{flag} 服务接收重启指令，主动断开连接，开始等待恢复 url={reboot}"]
    assert records() == [("DEBUG", T2, (flag, reboot))]
    assert manager.wait_service_ready() is True
    assert records() == [("DEBUG", W1, (flag, stats, 10)), ("DEBUG", W3, (flag, 503)), ("DEBUG", W2, (flag,))]
    assert server.listening(1) == server.port
    assert set(printed(capsys)) == {f"{flag} 服务未启动/连接拒绝，等待中..."}


def test_a_missing_restart_endpoint_is_an_error(olvast, start_server, records, capsys):
    server = start_server("--reboot=missing")
    manager, flag, reboot, stats = manager_for(olvast, server.url, timeout=2, max_wait_seconds=5, poll_interval=0.1)
    assert manager.trigger_reboot() is None
    assert records() == [("ERROR", REFUSED, (flag, 404, reboot))]
    assert manager.run_reboot_and_wait() is True
    assert records() == [
        ("ERROR", REFUSED, (flag, 404, reboot)),
        ("DEBUG", W1, (flag, stats, 5)),
        ("DEBUG", W2, (flag,)),
        ("DEBUG", R1, (flag,)),
    ]
    assert printed(capsys) == []


def test_a_server_that_never_comes_back(olvast, start_server, records, capsys):
    server = start_server("--reboot=exit")
    manager, flag, reboot, stats = manager_for(olvast, server.url, timeout=1, max_wait_seconds=1, poll_interval=0.2)
    ready, elapsed = timed(manager.run_reboot_and_wait)
    assert ready is False
    assert server.process.wait(timeout=10) == 0
    assert records() == [
        ("DEBUG", T2, (flag, reboot)),
        ("DEBUG", W1, (flag, stats, 1)),
        ("ERROR", W4, (flag, 1)),
        ("ERROR", R2, (flag,)),
    ]
    lines = printed(capsys)
    # Every round takes at least one interval, so at most 1 / 0.2 rounds start within budget.
    assert 1 <= len(lines) <= 5 and set(lines) == {f"{flag} 服务未启动/连接拒绝，等待中..."}
    assert elapsed < 1 + 1 + 1 + 0.2 + SLACK


def test_nothing_listening(olvast, closed_port, records, capsys):
    manager, flag, reboot, stats = manager_for(
        olvast, f"http://127.0.0.1:{closed_port}/", timeout=1, max_wait_seconds=1, poll_interval=0.25
    )
    assert manager.trigger_reboot() is None
    [(level, message, (shown_flag, text, url))] = records()
    assert (level, message, shown_flag, url) == ("DEBUG", T3, flag, reboot)
    assert "Connection refused" in text and "Remote end closed connection" not in text
    ready, elapsed = timed(manager.wait_service_ready)
    assert ready is False
    assert records() == [("DEBUG", W1, (flag, stats, 1)), ("ERROR", W4, (flag, 1))]
    lines = printed(capsys)
    assert 1 <= len(lines) <= 4 and set(lines) == {f"{flag} 服务未启动/连接拒绝，等待中..."}
    assert elapsed < 1 + 1 + 0.25 + SLACK
