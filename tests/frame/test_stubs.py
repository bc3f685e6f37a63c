"""The type stubs shipped beside each module hold to the runtime, and the README's examples
type-check against them."""

import ast
import importlib
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = pathlib.Path(importlib.import_module("carvola").__file__).parent
# stubtest imports the modules, and two of them need the host module.
WITH_HOST = "import sys, carvola._host; sys.modules.setdefault('pelvane', carvola._host)\n"


def installed_stub_modules():
    """carvola.<module> for every stub the installed package ships."""
    return sorted(
        ".".join(("carvola", *stub.relative_to(PACKAGE).with_suffix("").parts)) for stub in PACKAGE.rglob("*.pyi")
    )


def run_mypy(code, args, cwd):
    """Runs mypy's code in a fresh interpreter of this environment, away from the source tree."""
    return subprocess.run(
        [sys.executable, "-c", WITH_HOST + code, *args], capture_output=True, text=True, timeout=300, cwd=cwd
    )


def test_package_is_marked_typed(module_name):
    module = importlib.import_module(module_name)
    assert (PACKAGE / "py.typed").is_file()
    assert pathlib.Path(module.__file__).with_name(module_name.rpartition(".")[2] + ".pyi").is_file()


def test_stubtest_finds_the_stubs_true_to_the_runtime(tmp_path):
    modules = installed_stub_modules()
    assert {"carvola.brennic", "carvola.comfyui.olvast", "carvola.vantor"} <= set(modules), modules
    result = run_mypy("from mypy.stubtest import main; sys.exit(main())", modules, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_stub_declares_every_native_function(module_name):
    # stubtest passes over private names the stub leaves out; the stub lists those too.
    module = importlib.import_module(module_name)
    stub = pathlib.Path(module.__file__).with_name(module_name.rpartition(".")[2] + ".pyi")
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    declared = {(None, node.name) for node in tree.body if isinstance(node, ast.FunctionDef)}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            declared |= {(node.name, item.name) for item in node.body if isinstance(item, ast.FunctionDef)}
    for owner in [module, *(v for v in vars(module).values() if isinstance(v, type))]:
        for name, raw in vars(owner).items():
            function = raw.__func__ if isinstance(raw, (staticmethod, classmethod)) else raw
            if type(function).__name__ == "function" and type(function).__module__ == "carvola":
                key = (owner.__name__ if owner is not module else None, name)
                assert key in declared, f"the stub lacks {key}"


def readme_examples():
    """The README's Python examples as plain code, one per block: the statements of
    interactive sessions without their output, other blocks whole."""
    blocks = re.findall(r"^```python\n(.*?)^```", (ROOT / "README.md").read_text(encoding="utf-8"), re.S | re.M)
    examples = []
    for block in blocks:
        prompts = [line[4:] for line in block.splitlines() if line.startswith((">>> ", "... "))]
        examples.append("\n".join(prompts) + "\n" if prompts else block)
    return examples


def test_readme_examples_type_check_strictly(tmp_path):
    examples = readme_examples()
    assert len(examples) >= 5
    files = []
    for number, code in enumerate(examples, 1):
        files.append(tmp_path / f"readme_example_{number}.py")
        files[-1].write_text(code, encoding="utf-8")
    result = run_mypy("from mypy.__main__ import console_entry; console_entry()", ["--strict", *map(str, files)], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
