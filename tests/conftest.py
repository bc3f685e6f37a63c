"""Shared fixtures: the modules of the conventions suite, subprocess runs, the corpus, call
outcomes and leak checks."""

import gc
import os
import pathlib
import queue
import re
import subprocess
import sys
import textwrap
import threading
import time
import tracemalloc
import warnings

import PIL.Image
import pytest

import carvola._host

ROOT = pathlib.Path(__file__).resolve().parent.parent

# The host application's module `pelvane` is not part of the package; the tests stand in
# for it the way a host without one would.
HOST_PREAMBLE = "import sys, carvola._host; sys.modules.setdefault('pelvane', carvola._host)\n"
sys.modules.setdefault("pelvane", carvola._host)

CORPUS = ROOT.parent / "shared" / "corpus"
RESTARTING_SERVER = ROOT / "tests" / "olvast" / "restarting_server.py"

# Every extension module joins the conventions suite by adding itself here, with an
# import its initialisation makes that a test can block to make it fail.
CONVENTION_MODULES = {
    "carvola.brennic": {"blocked_import": "PIL"},
    "carvola.vantor": {"blocked_import": "pelvane"},
    "carvola.comfyui.olvast": {"blocked_import": "requests"},
    "carvola.quessel": {"blocked_import": "PIL"},
    "carvola.tulvene": {"blocked_import": "pelvane"},
    "carvola.dravik": {"blocked_import": "PIL"},
    "carvola.resize": {"blocked_import": "PIL"},
}


def run_python(code, *, cwd=None, timeout=120, extra_path=(), host_module=True):
    """Runs `code` in a fresh interpreter of this environment, with the stand-in host
    module installed unless `host_module` is false; returns the completed run."""
    env = dict(os.environ)
    if extra_path:
        env["PYTHONPATH"] = os.pathsep.join([*map(str, extra_path), env.get("PYTHONPATH", "")])
    return subprocess.run(
        [sys.executable, "-c", (HOST_PREAMBLE if host_module else "") + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=cwd or ROOT,
        env=env,
    )


def corpus_files(*folders):
    """Image files of the shared corpus below `folders`; empty when the corpus is absent."""
    found = []
    for folder in folders:
        base = CORPUS / folder
        if base.is_dir():
            found += sorted(p for p in base.iterdir() if p.is_file() and p.suffix not in {".md", ".tsv", ""})
    return found


def corpus_images_by_mode(max_pixels=1_000_000):
    """The smallest decodable image of each Pillow mode in the shared corpus, loaded, as a
    dict of mode to image; empty when the corpus is absent. Larger images are left out."""
    chosen = {}
    for path in corpus_files("images", "synthetic"):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                with PIL.Image.open(path) as opened:
                    if opened.width * opened.height > max_pixels:
                        continue
                    opened.load()
                    image = opened.copy()
            except Exception:  # noqa: BLE001 - files Pillow refuses are Pillow's concern
                continue
        best = chosen.get(image.mode)
        if best is None or image.width * image.height < best.width * best.height:
            chosen[image.mode] = image
    return chosen


def outcome(call):
    """What a call gives: its value, or its exception's type and message, with object
    addresses masked so that two runs compare equal."""
    try:
        return ("value", call())
    except Exception as e:  # noqa: BLE001 - every failure is compared
        return ("error", type(e), re.sub(r"0x[0-9a-f]+", "0x", str(e)))


def assert_no_leak(call, *, watched=(), calls=2000, rounds=4):
    """Calls `call` (which may raise) many times; memory and the reference counts of the
    `watched` objects must not grow once caches are warm."""

    def quietly():
        try:
            call()
        except Exception:  # noqa: BLE001 - failing calls are checked for leaks too
            pass

    for _ in range(calls):
        quietly()
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    tracemalloc.start()
    try:
        sizes = [tracemalloc.get_traced_memory()[0]]
        for _ in range(rounds):
            for _ in range(calls):
                quietly()
            gc.collect()
            sizes.append(tracemalloc.get_traced_memory()[0])
    finally:
        tracemalloc.stop()
    # A leak grows memory in every round, by at least 16 bytes a call; a cache that fills
    # up (interpreter, Pillow or ours) grows it in one round and then stops.
    growths = [after - before for before, after in zip(sizes, sizes[1:])]
    assert min(growths) < 8 * calls, f"memory grew in every round: {growths} bytes, {calls} calls a round"
    assert [sys.getrefcount(obj) for obj in watched] == counts, "reference counts grew"


@pytest.fixture(name="outcome", scope="session")
def outcome_fixture():
    return outcome


@pytest.fixture(name="assert_no_leak")
def assert_no_leak_fixture():
    return assert_no_leak


@pytest.fixture(params=sorted(CONVENTION_MODULES))
def module_name(request):
    return request.param


@pytest.fixture
def blocked_import(module_name):
    return CONVENTION_MODULES[module_name]["blocked_import"]


@pytest.fixture(name="run_python")
def run_python_fixture():
    return run_python


@pytest.fixture(name="corpus_files")
def corpus_files_fixture():
    return corpus_files


@pytest.fixture(name="corpus_images_by_mode", scope="session")
def corpus_images_by_mode_fixture():
    return corpus_images_by_mode()


class RunningServer:
    """One server process; its "listening PORT GENERATION" lines are collected as they come."""

    def __init__(self, *options):
        self.process = subprocess.Popen([sys.executable, str(RESTARTING_SERVER), *options], stdout=subprocess.PIPE, text=True)
        self.announced = queue.Queue()
        threading.Thread(target=self._collect, daemon=True).start()
        self.port = self.listening(0)
        self.url = f"http://127.0.0.1:{self.port}"

    def _collect(self):
        for line in self.process.stdout:
            self.announced.put(line.split())
        self.announced.put(None)

    def listening(self, generation, timeout=15.0):
        """The port of the process of that generation, once it listens."""
        deadline = time.monotonic() + timeout
        while True:
            line = self.announced.get(timeout=max(deadline - time.monotonic(), 0.01))
            assert line is not None, "the server exited"
            if line[0] == "listening" and line[2] == str(generation):
                return int(line[1])

    def stop(self):
        self.process.kill()
        self.process.wait(timeout=10)
        self.process.stdout.close()


@pytest.fixture
def start_server():
    """Starts restarting servers (tests/olvast/restarting_server.py) and stops them after the test."""
    servers = []

    def start(*options):
        servers.append(RunningServer(*options))
        return servers[-1]

    yield start
    for server in servers:
        server.stop()
