"""The carvola command on a Dask cluster: one local cluster of two worker processes for the
whole module, the command run against it in subprocesses as a user would."""

import io
import json
import os
import random
import signal
import socket
import subprocess
import threading
import time

import pytest
from helpers import COMMAND, carvola, json_lines, results, summary
from PIL import Image

from carvola._cli import cluster

distributed = pytest.importorskip("distributed")


def assert_one_line_error(result, *fragments):
    assert result.returncode == 2, result.stderr
    assert len(result.stderr.strip().splitlines()) == 1 and "Traceback" not in result.stderr, result.stderr
    for fragment in fragments:
        assert fragment in result.stderr


# Started once: only this module uses it, and it is closed when the module is done, so that
# its threads do not run beside the memory checks of the tests after it.
@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address="127.0.0.1:0"
    ) as cluster, distributed.Client(cluster) as client:  # fmt: skip
        yield client


@pytest.fixture
def address(client):
    return client.scheduler.address


def files_below(folder):
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in folder.rglob("*") if p.is_file()}


def noise(path, size, mode="RGB", seed=0):
    rng = random.Random(seed)
    Image.frombytes(mode, size, rng.randbytes(size[0] * size[1] * len(mode))).save(path)


def finish(run, timeout=120):
    """The rest of a run's output once it ends. After a readline() the pipe's buffer holds
    more than that line, which communicate() would skip."""
    rest, errors = run.stdout.read(), run.stderr.read()
    run.wait(timeout=timeout)
    return rest, errors


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ----- choosing the cluster -----


@pytest.mark.parametrize(
    "cluster, fragment",
    [
        ("local:0", "local:N"),
        ("local:x", "local:N"),
        ("tcp://127.0.0.1:{port}", "no scheduler at tcp://127.0.0.1:"),
        ("127.0.0.1:{port}", "no scheduler at"),
    ],
)
@pytest.mark.parametrize("command", ["check", "kontext"])
def test_unusable_clusters_are_one_line_usage_errors(tmp_path, cluster, fragment, command):
    prompts = tmp_path / "prompts.txt"
    prompts.write_text("a lake\n", encoding="utf-8")
    noise(tmp_path / "image.png", (8, 8))
    args = ["--file", prompts] if command == "check" else [tmp_path / "image.png", "-o", tmp_path / "out"]
    result = carvola(command, *args, "--cluster", cluster.format(port=free_port()))
    assert_one_line_error(result, fragment)
    assert not (tmp_path / "out").exists()


def test_cluster_and_jobs_exclude_each_other(tmp_path):
    noise(tmp_path / "image.png", (8, 8))
    assert_one_line_error(carvola("ratio", tmp_path / "image.png", "--jobs", "2", "--cluster", "local:2"), "--jobs")


def test_check_on_a_cluster_needs_a_file_the_workers_can_read(address):
    assert_one_line_error(carvola("check", "--file", "-", "--cluster", address, stdin="a lake\n"), "--file")


def test_without_the_extra_the_error_names_it(run_python, tmp_path):
    noise(tmp_path / "image.png", (8, 8))
    result = run_python(
        f"""
        import sys
        sys.modules["distributed"] = None  # as if the extra were not installed
        from carvola._cli import main
        sys.exit(main(["ratio", {str(tmp_path / "image.png")!r}, "--cluster", "local:1"]))
        """
    )
    assert_one_line_error(result, "carvola[cluster]")


def test_workers_of_another_version_are_refused(client, address, tmp_path):
    from carvola import __version__

    prompts = tmp_path / "prompts.txt"
    prompts.write_text("a lake\n", encoding="utf-8")
    client.run(exec, "import carvola; carvola.__version__ = '0.0.0-other'", {})
    try:
        result = carvola("check", "--file", prompts, "--cluster", address)
    finally:
        client.run(exec, f"import carvola; carvola.__version__ = {__version__!r}", {})
    assert_one_line_error(result, "0.0.0-other", __version__)


def test_the_single_machine_path_never_imports_dask(run_python, tmp_path):
    prompts = tmp_path / "prompts.txt"
    prompts.write_text("a lake\n", encoding="utf-8")
    noise(tmp_path / "image.png", (8, 8))
    result = run_python(
        f"""
        import sys
        from carvola._cli import main
        main(["check", "--file", {str(prompts)!r}, "--no-default"])
        main(["kontext", {str(tmp_path / "image.png")!r}, "-o", {str(tmp_path / "out")!r}, "--jobs", "2"])
        loaded = sorted(name for name in sys.modules if name.split(".")[0] in ("dask", "distributed"))
        print(loaded, file=sys.stderr)
        sys.exit(bool(loaded))
        """
    )
    assert result.returncode == 0, result.stderr


# ----- prompt files -----


def test_byte_ranges_give_every_line_once_in_order():
    from carvola._cli.cluster import read_lines

    rng = random.Random(7)
    pieces = ["a lake", "", "  ", "über den Wolken", "雨の日", "x" * 300, "end\r", "\r", "tab\there"]
    text = "".join(rng.choice(pieces) + rng.choice(["\n", "\r\n"]) for _ in range(400)) + "no newline at the end"
    data = text.encode("utf-8")
    for size in (1, 2, 7, 64, 1000, len(data)):
        stream = io.BytesIO(data)
        parts = [read_lines(stream, start, min(start + size, len(data))) for start in range(0, len(data), size)]
        assert b"".join(part for _, part in parts) == data
        assert all(first == 0 or data[first - 1 : first] == b"\n" for first, part in parts if part)


def test_a_prompt_file_gives_the_same_lines_as_without_the_cluster(address, tmp_path):
    rng = random.Random(3)
    words = ["alpha", "beta", "lake", "über", "雨", "tree", "house", "light"]
    lines = [" ".join(rng.choice(words) for _ in range(rng.randrange(0, 9))) for _ in range(60_000)]
    prompts = tmp_path / "prompts.txt"
    # Windows line ends, a lone carriage return and no newline at the end, as text mode reads them.
    prompts.write_bytes(("\n".join(lines[:-2]) + "\r\n" + lines[-2] + "\rend").encode("utf-8"))
    words_file = tmp_path / "words.txt"
    words_file.write_text("alpha\n雨\n", encoding="utf-8")
    common = ["check", "--no-default", "--words", words_file, "--word", "tree", "--file", prompts, "--json"]
    alone = carvola(*common)
    on_cluster = carvola(*common, "--cluster", address, "a beta prompt", "a tree")
    assert on_cluster.returncode == alone.returncode == 1, on_cluster.stderr
    given = carvola("check", "--no-default", "--words", words_file, "--word", "tree", "--json", "a beta prompt", "a tree")
    expected = given.stdout.splitlines()[:-1] + alone.stdout.splitlines()
    got = on_cluster.stdout.splitlines()
    assert got[:-1] == expected[:-1]
    summary = json.loads(got[-1])["summary"]
    assert summary["total"] == json.loads(expected[-1])["summary"]["total"] + 2


# ----- file batches -----


@pytest.fixture(scope="module")
def mixed(tmp_path_factory):
    """Small images of several modes and formats, a name clash, a nested folder and a
    file that is not an image."""
    folder = tmp_path_factory.mktemp("mixed")
    (folder / "nested").mkdir()
    for n, (mode, size, name) in enumerate(
        [
            ("RGB", (160, 90), "wide.jpg"), ("RGBA", (60, 100), "tall.png"), ("L", (50, 50), "nested/square.png"),
            ("CMYK", (90, 40), "print.tif"), ("RGB", (30, 70), "hopper.gif"), ("RGB", (70, 30), "hopper.jpg"),
            ("LA", (120, 80), "grey.png"), ("RGB", (300, 200), "photo.webp"),
        ]
    ):  # fmt: skip
        noise(folder / name, size, mode, seed=n)
    (folder / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\nnot really")
    return folder


@pytest.mark.parametrize(
    "command, options",
    [
        ("ratio", ["--range", "20"]),
        ("adjust", ["--proportion", "16:9"]),
        ("kontext", ["--fit", "crop", "--format", "jpeg"]),
        ("letterbox", ["--size", "64x48", "--format", "jpeg"]),
    ],
)
def test_a_folder_gives_what_one_process_gives(address, mixed, tmp_path, command, options):
    def run(out, *how):
        return carvola(command, mixed, *([] if command == "ratio" else ["-o", tmp_path / out]), *options, *how)

    on_cluster, alone = run("by-cluster", "--json", "--cluster", address), run("by-one", "--json", "--jobs", "1")
    assert on_cluster.returncode == alone.returncode == 1, on_cluster.stderr  # the broken file
    renamed = {k: {**r, "output": r.get("output", "").replace("by-cluster", "by-one")} for k, r in results(on_cluster).items()}
    assert renamed == {k: {**r, "output": r.get("output", "")} for k, r in results(alone).items()}
    assert summary(on_cluster) == summary(alone)
    if command != "ratio":
        assert files_below(tmp_path / "by-cluster") == files_below(tmp_path / "by-one")
    text = run("text", "--cluster", address)
    assert text.stderr.count("failed: ") == 1 and "broken.png" in text.stderr


class LostOnce:
    """A chunk's future that finishes, loses its result with its worker while it waits to
    be taken, and finishes again once computed elsewhere (as a Dask future does)."""

    def __init__(self):
        self.status = "pending"
        self.callbacks = 0

    def done(self):
        return self.status == "finished"

    def add_done_callback(self, callback):
        self.callbacks += 1
        if self.callbacks == 1:
            self.status = "finished"
            callback(self)  # queued as finished ...
            self.status = "lost"  # ... and lost before it is taken
        else:
            threading.Timer(0.05, lambda: (setattr(self, "status", "finished"), callback(self))).start()

    def result(self):
        assert self.status == "finished"
        return "computed again"

    def release(self):
        pass


def test_a_result_lost_before_it_is_taken_is_waited_for_not_failed():
    future = LostOnce()
    session = type("Session", (), {"submit": lambda self, function, *args: future})()
    sent = iter([(print, (), "units")])
    taken = list(cluster.Chunks(session, lambda: next(sent, None), window=1))
    assert taken == [("units", future)] and future.callbacks == 2
    assert cluster.outcome(future) == ("computed again", None)


def test_a_worker_killed_mid_batch_leaves_no_gap(client, address, tmp_path):
    source = tmp_path / "source"
    source.mkdir()
    for n in range(16):
        noise(source / f"image{n:02d}.png", (1200, 900), seed=n)
    workers = client.run(os.getpid)
    run = subprocess.Popen(
        [str(COMMAND), "kontext", str(source), "-o", str(tmp_path / "out"), "--json", "--cluster", address],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )  # fmt: skip
    first = run.stdout.readline()  # the batch is under way: both workers hold chunks
    for pid in workers.values():
        os.kill(pid, signal.SIGKILL)
    rest, errors = finish(run)
    client.wait_for_workers(2, timeout=60)
    lines = json_lines(first + rest)
    assert run.returncode == 0, errors
    assert sorted(line["input"] for line in lines[:-1]) == sorted(str(p) for p in source.iterdir())
    assert lines[-1]["summary"] == {"done": 16, "failed": 0, "total": 16}
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(p.name for p in source.iterdir())
    for path in (tmp_path / "out").iterdir():
        with Image.open(path) as image:
            image.load()


@pytest.mark.parametrize(
    "where, signum, whole_group",
    [("address", signal.SIGINT, False), ("address", signal.SIGTERM, False), ("local:2", signal.SIGINT, True)],
)
def test_signals_stop_a_cluster_batch_cleanly(address, tmp_path, where, signum, whole_group):
    source = tmp_path / "source"
    source.mkdir()
    for n in range(30):
        noise(source / f"image{n:02d}.png", (600, 400), seed=n)
    run = subprocess.Popen(
        [str(COMMAND), "kontext", str(source), "-o", str(tmp_path / "out"), "--json",
         "--cluster", address if where == "address" else where],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
    )  # fmt: skip
    first = run.stdout.readline()  # under way
    sent = time.monotonic()
    if whole_group:  # a terminal's Ctrl-C reaches the local workers too
        os.killpg(run.pid, signum)
    else:
        run.send_signal(signum)
    rest, errors = finish(run)
    assert run.returncode == 128 + signum and "Traceback" not in errors, errors
    assert time.monotonic() - sent < 10, errors
    lines = json_lines(first + rest)
    assert lines[-1]["summary"]["interrupted"] is True
    reported = {line["output"] for line in lines if line.get("ok")}
    assert reported == {str(p) for p in (tmp_path / "out").iterdir()}  # nothing unreported or temporary


def test_signals_stop_a_prompt_file_with_the_lines_so_far_in_order(address, tmp_path):
    rng = random.Random(11)
    prompts = tmp_path / "prompts.txt"
    prompts.write_text("".join(f"{rng.choice(['a lake', 'a tree', 'alpha'])} {n}\n" for n in range(300_000)), encoding="utf-8")
    common = ["check", "--no-default", "--word", "alpha", "--file", prompts, "--json"]
    alone = carvola(*common).stdout.splitlines()
    run = subprocess.Popen([str(COMMAND), *map(str, common), "--cluster", address], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    first = run.stdout.readline()
    run.send_signal(signal.SIGTERM)
    rest, errors = finish(run)
    assert run.returncode == 143 and "Traceback" not in errors, errors
    lines = (first + rest).splitlines()
    # The lines so far, in order; on a fast machine they may be all of them.
    assert lines[:-1] == alone[: len(lines) - 1] and len(lines) <= len(alone)
    assert json.loads(lines[-1])["summary"]["interrupted"] is True


def test_a_chunk_whose_workers_die_fails_its_files(run_python, tmp_path):
    result = run_python(
        f"""
        import os, dask, distributed
        from carvola._cli import _batch, _common, cluster

        def work(source, outputs, temps, options):
            _batch.write_temp(temps[0], b"written")
            if source.endswith("poison"):
                os._exit(1)  # the worker dies, its temporary file half done
            return {{"output": outputs[0], "temp": temps[0]}}

        items = [
            {{"source": f"{tmp_path}/{{n}}" + ("poison" if n == 5 else ""), "outputs": [f"{tmp_path}/{{n}}.out"],
              "temps": [f"{tmp_path}/.{{n}}.out.part"]}}
            for n in range(12)
        ]
        with dask.config.set({{"distributed.scheduler.allowed-failures": 0}}), distributed.LocalCluster(
            n_workers=1, threads_per_worker=1, host="127.0.0.1", dashboard_address="127.0.0.1:0"
        ) as local:
            executor = cluster.ClusterExecutor(("address", local.scheduler_address)).connect()
            _batch.run_batch(items, [], work, {{}}, executor=executor, output=_common.Output(True), describe=str)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = json_lines(result.stdout)
    assert sorted(line["input"] for line in lines[:-1]) == sorted(f"{tmp_path}/{n}" + ("poison" if n == 5 else "") for n in range(12))
    failed = {line["input"]: line["error"] for line in lines[:-1] if not line["ok"]}
    assert f"{tmp_path}/5poison" in failed and all("KilledWorker" in error for error in failed.values())
    assert 0 < len(failed) < 12 and lines[-1]["summary"]["failed"] == len(failed)
    written = {p.name for p in tmp_path.iterdir()}
    assert written == {f"{line['input'].rpartition('/')[2]}.out" for line in lines[:-1] if line["ok"]}  # no temporary file
