"""The installed carvola command, run in subprocesses as a user or a script would."""

import json
import pathlib
import socket
import subprocess
import sys
import time

import pytest
from helpers import COMMAND, carvola, json_lines
from PIL import Image


def assert_one_line_error(result, status=2):
    assert result.returncode == status, result.stderr
    assert "Traceback" not in result.stderr
    assert len(result.stderr.strip().splitlines()) == 1, result.stderr


@pytest.fixture(scope="module")
def images(tmp_path_factory):
    """A folder of small images (one nested) and one file that is not an image."""
    folder = tmp_path_factory.mktemp("images")
    Image.new("RGB", (160, 90), (200, 30, 30)).save(folder / "wide.jpg")
    Image.new("RGBA", (60, 100), (0, 0, 255, 128)).save(folder / "tall.png")
    (folder / "nested").mkdir()
    Image.new("L", (50, 50), 77).save(folder / "nested" / "square.png")
    (folder / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\nnot really")
    return folder


# ----- the command itself -----


@pytest.mark.parametrize(
    "args",
    [
        [], ["demo"], ["check"], ["size"], ["ratio"], ["adjust"], ["kontext"], ["letterbox"],
        ["comfyui"], ["comfyui", "restart"], ["comfyui", "wait"],
    ],
)  # fmt: skip
def test_help_on_every_level(args):
    result = carvola(*args, "--help")
    assert result.returncode == 0 and result.stdout.startswith("usage: carvola"), result.stderr


def test_version_and_module_entry_point():
    import carvola as package

    assert carvola("--version").stdout.strip() == f"carvola {package.__version__}"
    via_module = subprocess.run([sys.executable, "-m", "carvola", "--version"], capture_output=True, text=True)
    assert via_module.stdout.strip() == f"carvola {package.__version__}"


@pytest.mark.parametrize(
    "args",
    [
        ["--bogus"],
        ["size", "--bogus"],
        ["nonsense"],
        ["size", "abc"],
        ["size", "16"],
        ["ratio", "/no/such/file.png"],
        ["adjust", "/no/such/folder", "--out", "/tmp/x"],
        ["letterbox", "{images}", "--out", "{out}", "--size", "big"],
        ["adjust", "{images}", "--out", "{out}", "--fill-color", "red"],
        ["check", "x", "--words", "/no/such/words.txt"],
        ["ratio", "{images}", "--jobs", "0"],
        ["size", "16:9", "-r", "8k"],
        ["size", "16/9"],
        ["size", "16:0"],
        ["adjust", "{images}", "-o", "{out}", "-p", "16/9"],
        ["adjust", "{images}", "-o", "{out}", "-p", "16:0"],
        ["adjust", "{images}", "-o", "{out}", "-p", "7:5"],
        ["adjust", "{images}", "-o", "{out}", "--expand-percent", "-100"],
        ["ratio", "{images}", "--range", "0"],
        ["comfyui", "wait", "--url", "notaurl"],
        ["comfyui", "restart", "--url", "http://", "--no-wait"],
        ["demo", "--comfyui-url", "localhost:8188"],
        ["kontext", "{images}", "-o", "{images}/wide.jpg"],
        ["kontext", "{images}", "-o", "/proc/no-folder-here"],
        ["kontext", "{images}", "-o", "{out}", "--overwrite", "--skip-existing"],
        ["kontext", "{images}", "-o", "{out}", "--bogus"],
    ],
)
def test_user_errors_are_one_line_with_status_2(args, images, tmp_path):
    result = carvola(*(a.format(images=images, out=tmp_path / "out") for a in args))
    assert_one_line_error(result)
    assert "Error:" not in result.stderr and "invalid literal" not in result.stderr  # no Python internals
    assert not (tmp_path / "out").exists()  # found before any work
    if len(args) > 1 and args[0] not in ("comfyui", "--bogus", "nonsense"):
        assert f"(see carvola {args[0]} --help)" in result.stderr or f"carvola {args[0]}: error" in result.stderr


# ----- prompts and sizes -----


def test_check_reports_hits_and_sets_the_exit_status(tmp_path):
    clean = carvola("check", "--no-default", "--word", "forbidden", "a quiet lake")
    assert (clean.returncode, clean.stdout.strip()) == (0, "clean: a quiet lake")
    dirty = carvola("check", "--no-default", "--word", "forbidden", "--json", "a quiet lake", "FORBIDDEN fruit")
    assert dirty.returncode == 1
    assert json_lines(dirty.stdout) == [
        {"prompt": "a quiet lake", "banned": False, "hits": []},
        {"prompt": "FORBIDDEN fruit", "banned": True, "hits": ["FORBIDDEN"]},
        {"summary": {"clean": 1, "banned": 1, "total": 2}},
    ]
    exact_case = carvola("check", "--no-default", "--word", "forbidden", "--case-sensitive", "FORBIDDEN fruit")
    assert exact_case.returncode == 0
    excluded = carvola("check", "--no-default", "--word", "forbidden", "--exclude", "Forbidden", "forbidden fruit")
    assert excluded.returncode == 0


def test_check_reads_prompt_files_standard_input_and_word_files(tmp_path):
    words = tmp_path / "words.txt"
    words.write_text("alpha\nbeta\n", encoding="utf-8")
    prompts = tmp_path / "prompts.txt"
    prompts.write_text("nothing here\nan alpha wolf\n", encoding="utf-8")
    from_file = carvola("check", "--no-default", "--words", words, "--file", prompts, "--json")
    assert [line.get("banned") for line in json_lines(from_file.stdout)] == [False, True, None]
    from_stdin = carvola("check", "--no-default", "--words", words, stdin="beta test\n")
    assert from_stdin.returncode == 1 and "beta" in from_stdin.stdout


def test_check_uses_the_built_in_list_by_default():
    result = carvola("check", "--json", "a watercolour lighthouse at dawn")
    assert result.returncode == 0 and json_lines(result.stdout)[0]["banned"] is False


@pytest.mark.parametrize(
    "args, status, expected",
    [
        (["16:9", "-r", "4k"], 0, {"width": 3840, "height": 2160, "size": "3840x2160", "valid": True}),
        ([], 0, {"size": "2560x2560", "aspect_ratio": "1:1", "resolution": "2k"}),
        (["16:1"], 0, {"size": "3840x1280", "aspect_ratio": "16:1"}),
        (["16:1", "--strict"], 1, {"aspect_ratio": "16:1", "refused": "图像宽高比不合法, 相差太大"}),
    ],
)
def test_size(args, status, expected):
    result = carvola("size", *args, "--json")
    assert result.returncode == status, result.stderr
    document = json.loads(result.stdout)
    assert {k: document[k] for k in expected} == expected


# ----- images -----


def test_ratio_of_a_folder(images):
    result = carvola("ratio", images, "--json", "--range", "20")
    lines = json_lines(result.stdout)
    assert result.returncode == 1  # the broken file
    by_name = {pathlib.Path(line["input"]).name: line for line in lines if "input" in line}
    assert by_name["wide.jpg"]["exact"] == "16:9" and by_name["tall.png"]["exact"] == "3:5"
    assert by_name["square.png"]["approx"] == "1:1" and by_name["broken.png"]["ok"] is False
    assert lines[-1] == {"summary": {"done": 3, "failed": 1, "total": 4}}


@pytest.mark.parametrize("jobs", [1, 2])
def test_adjust_a_folder_with_a_broken_file(images, tmp_path, jobs):
    out = tmp_path / "out"
    result = carvola("adjust", images, "--out", out, "--jobs", jobs)
    assert result.returncode == 1
    assert result.stderr.count("failed:") == 1 and "broken.png" in result.stderr
    assert "Traceback" not in result.stderr
    written = {p.relative_to(out).as_posix(): Image.open(p).size for p in out.rglob("*.png")}
    assert written == {"wide.png": (160, 99), "tall.png": (66, 100), "nested/square.png": (55, 55)}
    assert not list(out.rglob("*.part"))


def test_adjust_copies_images_of_another_ratio_unchanged(images, tmp_path):
    out = tmp_path / "out"
    result = carvola("adjust", images / "wide.jpg", "--out", out, "--proportion", " 1:1 ", "--json")
    line = json_lines(result.stdout)[0]
    assert result.returncode == 0 and line["adjusted"] is False
    assert (out / "wide.jpg").read_bytes() == (images / "wide.jpg").read_bytes()


def test_kontext_and_letterbox(images, tmp_path):
    kontext = carvola("kontext", images / "wide.jpg", "--out", tmp_path / "k", "--json")
    assert json_lines(kontext.stdout)[0]["size"] == [1392, 752]
    assert Image.open(tmp_path / "k" / "wide.png").size == (1392, 752)
    boxed = carvola("letterbox", images / "tall.png", "--out", tmp_path / "l", "--size", "200x100", "--format", "jpeg")
    assert boxed.returncode == 0, boxed.stderr
    with Image.open(tmp_path / "l" / "tall.jpg") as image:
        assert (image.size, image.mode) == ((200, 100), "RGB")


# ----- the server and the demo -----


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_comfyui_wait_without_a_server_keeps_json_apart(tmp_path):
    url = f"http://127.0.0.1:{free_port()}"
    result = carvola("comfyui", "wait", "--url", url, "--max-wait", "1", "--poll-interval", "0.2", "--json")
    assert result.returncode == 1
    assert json.loads(result.stdout) == {"url": url, "ready": False}
    assert "等待中" in result.stderr  # the manager's printed lines went to standard error


@pytest.mark.parametrize(
    "server, extra, status, expected",
    [
        (["--warmup-polls=1"], [], 0, {"restarted": True, "ready": True}),
        ([], ["--no-wait"], 0, {"restarted": True}),
        (["--reboot=exit"], ["--max-wait", "1"], 1, {"restarted": True, "ready": False}),
        (["--reboot=stay"], [], 1, {"restarted": False, "error": "did not restart: still answering after 1 s"}),
        (["--reboot=stay"], ["--no-wait"], 1, {"restarted": False, "error": "did not restart: still answering after 1 s"}),
        (["--reboot=stay", "--reboot-status=500"], [], 1, {"restarted": False, "error": "restart refused (HTTP status 500)"}),
        (["--reboot=missing"], [], 1, {"restarted": False, "error": "restart refused (HTTP status 404)"}),
        (None, ["--no-wait"], 1, {"restarted": False, "error": "restart not delivered: [Errno 111] Connection refused"}),
    ],
)
def test_comfyui_restart_outcomes(start_server, server, extra, status, expected):
    url = start_server(*server).url if server is not None else f"http://127.0.0.1:{free_port()}"
    started = time.monotonic()
    result = carvola(
        "comfyui", "restart", "--url", url, "--max-wait", "20", "--poll-interval", "0.2", "--down-wait", "1",
        *extra, "--json", "-v",
    )  # fmt: skip
    assert time.monotonic() - started < 15
    assert result.returncode == status, result.stderr
    assert json.loads(result.stdout) == {"url": url, **expected}
    assert " carvola.comfyui.olvast: " in result.stderr  # -v shows the manager's log


def test_a_closed_standard_output_ends_the_command_quietly(images):
    command = [str(COMMAND), "ratio", *[images / "wide.jpg"] * 2000]
    reader = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    reader.stdout.readline()
    reader.stdout.close()
    assert reader.wait(timeout=60) == 141
    assert reader.stderr.read() == b""


def test_demo_runs_every_module():
    result = carvola("demo", "--json", timeout=300)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["brennic"]["nearest_standard_ratio"] == "16:9"
    assert report["quessel"] == {"exact": "16:9", "approximate": "16:9"}
    assert report["dravik"]["kontext_size"] == [1392, 752]
    assert report["resize"]["letterbox_size"] == [1024, 1024]
    assert report["vantor"]["built_in_words"] >= 50 and report["vantor"]["prompts"][-1]["banned"] is True
    assert report["comfyui"] is None
    text = carvola("demo")
    assert text.returncode == 0 and "vantor" in text.stdout
