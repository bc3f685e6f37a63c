"""SIGINT and SIGTERM in the middle of real batches: the command stops within a bound,
with the signal's exit status, leaves no temporary file, and the outputs it reported are
exactly the outputs that exist."""

import os
import random
import signal
import subprocess
import time

import pytest
from helpers import COMMAND, json_lines
from PIL import Image, ImageDraw

BOUND = 5.0  # seconds from the signal to the exit; a busy machine is slow, never this slow


@pytest.fixture(scope="module")
def mixed(tmp_path_factory):
    """Forty images of mixed formats, modes and sizes."""
    folder = tmp_path_factory.mktemp("mixed")
    rng = random.Random(7)
    for n in range(40):
        size = rng.choice([(200, 150), (640, 480), (300, 600), (900, 500)])
        suffix, mode = rng.choice([("png", "RGBA"), ("jpg", "RGB"), ("gif", "P"), ("tif", "CMYK"), ("webp", "RGB")])
        image = Image.new("RGB", size, tuple(rng.randrange(256) for _ in range(3)))
        ImageDraw.Draw(image).ellipse((10, 10, size[0] - 10, size[1] - 10), fill=(rng.randrange(256), 0, 0))
        image.convert(mode).save(folder / f"image{n:02d}.{suffix}")
    return folder


def interrupted_run(source, out, jobs, signum, whole_group, delay):
    process = subprocess.Popen(
        [str(COMMAND), "kontext", str(source), "-o", str(out), "-j", str(jobs), "--json"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
    )  # fmt: skip
    time.sleep(delay)
    sent = time.monotonic()
    if whole_group:  # as a terminal's Ctrl-C reaches every process of the job
        os.killpg(process.pid, signum)
    else:  # as kill or timeout reach the command alone
        process.send_signal(signum)
    try:
        stdout, stderr = process.communicate(timeout=BOUND + 5)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        pytest.fail(f"-j {jobs}: still running {BOUND + 5} s after the signal")
    return process.returncode, time.monotonic() - sent, stdout, stderr


@pytest.mark.parametrize("jobs", [1, 2])
def test_signals_stop_a_batch_cleanly(mixed, tmp_path, jobs):
    # The moments are spread over the time an uninterrupted run takes on this machine, so
    # that most signals land mid-batch however fast the machine is.
    started = time.monotonic()
    whole = subprocess.run([str(COMMAND), "kontext", str(mixed), "-o", str(tmp_path / "whole"), "-j", str(jobs)])
    assert whole.returncode == 0
    span = time.monotonic() - started
    rng = random.Random(jobs)
    stopped = 0
    for attempt in range(20):
        out = tmp_path / f"out{attempt}"
        signum = (signal.SIGINT, signal.SIGTERM)[attempt % 2]
        whole_group = attempt % 4 >= 2
        status, elapsed, stdout, stderr = interrupted_run(mixed, out, jobs, signum, whole_group, rng.uniform(0.05, span))
        context = f"attempt {attempt}, {signal.Signals(signum).name}, group {whole_group}: {stderr}"
        lines = json_lines(stdout)
        if status == 0:  # the batch was over before the signal came: all of it, no less
            assert lines and lines[-1]["summary"] == {"done": 40, "failed": 0, "total": 40}, context
        else:
            # Before the command installs its handlers the signal ends it the default way.
            assert status in (128 + signum, -signum), context
            stopped += 1
        assert elapsed < BOUND, context
        assert "Traceback" not in stderr, context
        reported = {line["output"] for line in lines if line.get("ok") and "output" in line}
        existing = {str(p) for p in out.rglob("*") if p.is_file()} if out.exists() else set()
        assert reported == existing, context  # no half-written, temporary or unreported file
    assert stopped >= 10, f"only {stopped} of 20 signals came before the batch ended"


def test_a_signal_swallowed_by_a_garbage_collector_callback_is_raised_at_the_next_wait():
    import gc

    from carvola._cli import _batch

    def callback(phase, info):
        gc.callbacks.remove(callback)
        guard._handle(signal.SIGINT, None)  # as if the signal arrived during the callback

    with _batch.SignalGuard() as guard:
        gc.callbacks.append(callback)
        gc.collect()  # the callback's Interrupted is reported as unraisable, not raised
        with pytest.raises(_batch.Interrupted):
            _batch.check_signals()
