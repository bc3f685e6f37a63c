"""The installed package: what it holds and what importing it costs."""

import importlib.metadata
import pathlib


def test_importing_the_package_loads_no_extension_module(run_python):
    result = run_python(
        """
        import sys
        import carvola, carvola.comfyui
        loaded = sorted(name for name in sys.modules if name.startswith("carvola.") or name == "PIL")
        print(loaded, carvola.__version__)
        """,
        host_module=False,
    )
    assert result.stdout.split(" ")[0] == "['carvola.comfyui']", result.stderr


def test_the_installed_files_are_the_package_and_nothing_else():
    files = [pathlib.PurePosixPath(str(f)) for f in importlib.metadata.files("carvola")]
    scripts = [f for f in files if f.parts[0] == ".."]
    assert [f.name for f in scripts] == ["carvola"]  # the console script, in the environment's bin
    files = [f for f in files if f.parts[0] != ".."]
    top = {f.parts[0] for f in files}
    assert top == {"carvola", f"carvola-{importlib.metadata.version('carvola')}.dist-info"}
    suffixes = {f.suffix for f in files if f.parts[0] == "carvola"}
    assert suffixes <= {".py", ".pyc", ".pyi", ".so", ".typed"}, suffixes
    assert not any(part in {"tests", "src", "common"} for f in files for part in f.parts)


def test_the_version_is_the_distribution_version():
    import carvola

    assert carvola.__version__ == importlib.metadata.version("carvola")


def test_the_host_stand_in_builds_both_exceptions():
    import carvola._host as host

    ban = host.PromptBanError(error_msg="违禁词: a", data=["a"])
    refused = host.ServiceError("图像宽高比不合法, 相差太大", aspect_ratio="16:1")
    assert (ban.error_msg, ban.data, str(ban)) == ("违禁词: a", ["a"], "违禁词: a")
    assert (refused.message, refused.aspect_ratio) == ("图像宽高比不合法, 相差太大", "16:1")
    assert isinstance(ban, Exception) and isinstance(refused, Exception)
