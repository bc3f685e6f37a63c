"""The carvola command on a Dask cluster: one local cluster of two worker processes for the
whole session, the command run against it in subprocesses as a user would."""

import io
import json
import pathlib
import random
import socket
import subprocess
import sys

import pytest

distributed = pytest.importorskip("distributed")

COMMAND = pathlib.Path(sys.executable).with_name("carvola")


def carvola(*args, timeout=120):
    return subprocess.run([str(COMMAND), *map(str, args)], capture_output=True, text=True, timeout=timeout)


def assert_one_line_error(result, *fragments):
    assert result.returncode == 2, result.stderr
    assert len(result.stderr.strip().splitlines()) == 1 and "Traceback" not in result.stderr, result.stderr
    for fragment in fragments:
        assert fragment in result.stderr


@pytest.fixture(scope="session")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address="127.0.0.1:0"
    ) as cluster, distributed.Client(cluster) as client:  # fmt: skip
        yield client


@pytest.fixture
def address(client):
    return client.scheduler.address


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
def test_unusable_clusters_are_one_line_usage_errors(tmp_path, cluster, fragment):
    prompts = tmp_path / "prompts.txt"
    prompts.write_text("a lake\n", encoding="utf-8")
    result = carvola("check", "--file", prompts, "--cluster", cluster.format(port=free_port()))
    assert_one_line_error(result, fragment)


def test_check_on_a_cluster_needs_a_file_the_workers_can_read(address):
    result = subprocess.run(
        [str(COMMAND), "check", "--file", "-", "--cluster", address], input="a lake\n", capture_output=True, text=True
    )
    assert_one_line_error(result, "--file")


def test_without_the_extra_the_error_names_it(run_python, tmp_path):
    prompts = tmp_path / "prompts.txt"
    prompts.write_text("a lake\n", encoding="utf-8")
    result = run_python(
        f"""
        import sys
        sys.modules["distributed"] = None  # as if the extra were not installed
        from carvola._cli import main
        sys.exit(main(["check", "--file", {str(prompts)!r}, "--cluster", "local:1"]))
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
    result = run_python(
        f"""
        import sys
        from carvola._cli import main
        main(["check", "--file", {str(prompts)!r}, "--no-default"])
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
