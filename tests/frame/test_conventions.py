"""What every extension module of the package shares: initialisation, metadata, binding.

Parametrized over the modules registered in conftest.CONVENTION_MODULES.
"""

import _imp
import ast
import ctypes
import importlib
import importlib.util
import inspect
import pathlib
import pickle
import pydoc
import sys
import traceback
import types

import pytest

INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)


def is_native(obj):
    return type(obj).__module__ == "carvola" and type(obj).__name__ == "function"


def native_functions(module):
    """(owner class or None, attribute name, namespace entry, function) of a module."""
    found = []
    for name, obj in vars(module).items():
        if isinstance(obj, type) and obj.__module__ == module.__name__:
            for attr, raw in vars(obj).items():
                fn = raw.__func__ if isinstance(raw, (staticmethod, classmethod)) else raw
                if is_native(fn):
                    found.append((obj, attr, raw, fn))
        elif is_native(obj):
            found.append((None, name, obj, obj))
    assert found, f"{module.__name__} exposes no native function"
    return found


def module_classes(module):
    return [obj for obj in vars(module).values() if isinstance(obj, type) and obj.__module__ == module.__name__]


def positional_count(fn):
    return sum(p.kind is p.POSITIONAL_OR_KEYWORD for p in inspect.signature(fn).parameters.values())


def metadata(module):
    """What the table in module_metadata.py states of a module: its globals and each class's
    namespace in binding order, class docstrings, and each function's docstring, defaults
    and annotations."""
    found = {"globals": [k for k in vars(module) if not k.startswith("__")]}
    for name, obj in vars(module).items():
        if isinstance(obj, type) and obj.__module__ == module.__name__:
            namespace = [k for k in vars(obj) if k not in ("__dict__", "__weakref__")]
            found[name] = {"namespace": namespace, "doc": obj.__doc__}
    for owner, attr, raw, fn in native_functions(module):
        found[f"{owner.__name__}.{attr}" if owner else attr] = (fn.__doc__, fn.__defaults__, fn.__annotations__)
    return found


def count_message(fn, given):
    total = positional_count(fn)
    required = total - len(fn.__defaults__ or ())
    expected = required if given < required else total
    bound = "exactly" if required == total else "at least" if given < required else "at most"
    return f"{fn.__name__}() takes {bound} {expected} positional argument{'' if expected == 1 else 's'} ({given} given)"


@pytest.fixture
def module(module_name):
    return importlib.import_module(module_name)


# ----- the module frame -----


def test_entry_point_returns_a_multi_phase_definition(module):
    library = ctypes.PyDLL(module.__file__)
    entry = getattr(library, "PyInit_" + module.__name__.rpartition(".")[2])
    entry.restype = ctypes.py_object
    definition = entry()
    # The definition is static: the reference ctypes takes over is given back.
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(definition))
    assert type(definition).__name__ == "moduledef"


def test_module_attributes_come_from_the_import_machinery(module):
    module_spec = module.__spec__
    assert module.__name__ == module_spec.name
    assert module.__file__ == module_spec.origin
    assert module.__loader__ is module_spec.loader
    assert module.__package__ == module_spec.parent
    assert not hasattr(module, "__path__")
    assert module.__doc__ is None
    assert module.__test__ == {}
    assert sys.modules[module.__name__] is module


def test_module_attributes_follow_a_given_location(module_name, run_python):
    result = run_python(
        f"""
        import importlib.util, sys
        found = importlib.util.find_spec("{module_name}")
        custom = importlib.util.spec_from_file_location(
            "{module_name}", found.origin, submodule_search_locations=["elsewhere"])
        module = importlib.util.module_from_spec(custom)
        assert module.__file__ == found.origin, module.__file__
        assert module.__path__ == ["elsewhere"], module.__path__
        assert module.__package__ == "{module_name}", module.__package__
        assert module.__loader__ is custom.loader
        print("ok")
        """
    )
    assert result.stdout.strip() == "ok", result.stderr


def test_a_second_interpreter_is_refused(module_name, run_python):
    result = run_python(
        f"""
        import {module_name}
        import _xxsubinterpreters as interpreters
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import {module_name}")
        except interpreters.RunFailedError as e:
            print(e)
        else:
            print("imported")
        """
    )
    assert result.stdout.strip() == f"<class 'ImportError'>: {INTERPRETER_CHANGE}", result.stderr


def test_executing_a_second_module_object_is_refused(module_name, run_python):
    last = module_name.rpartition(".")[2]
    result = run_python(
        f"""
        import importlib.util
        found = importlib.util.find_spec("{module_name}")
        first = importlib.util.module_from_spec(found)
        second = importlib.util.module_from_spec(found)
        assert first is not second
        found.loader.exec_module(first)
        import sys
        assert sys.modules["{module_name}"] is first  # executing registers the module
        try:
            found.loader.exec_module(second)
        except RuntimeError as e:
            print(e)
        """
    )
    expected = f"Module '{last}' has already been imported. Re-initialisation is not supported."
    assert result.stdout.strip() == expected, result.stderr


def test_executing_the_same_module_again_changes_nothing(module):
    before = dict(vars(module))
    assert _imp.exec_dynamic(module) == 0
    after = vars(module)
    assert after.keys() == before.keys()
    assert all(after[k] is before[k] for k in before)


def test_importing_again_after_removal_gives_a_working_module(module_name, run_python):
    result = run_python(
        f"""
        import importlib, sys
        first = importlib.import_module("{module_name}")
        for _ in range(3):
            del sys.modules["{module_name}"]
            try:
                again = importlib.import_module("{module_name}")
            except RuntimeError as e:
                print("refused", e)
                break
            assert again.__test__ == {{}}
            assert vars(again).keys() >= {{k for k in vars(first) if not k.startswith("__")}}
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().endswith("ok")


def test_failed_initialisation_names_the_module_and_can_be_retried(module_name, blocked_import, run_python):
    result = run_python(
        f"""
        import sys, traceback
        saved = sys.modules.get("{blocked_import}")
        sys.modules["{blocked_import}"] = None
        try:
            import {module_name}
        except ImportError as e:
            last = traceback.extract_tb(e.__traceback__)[-1]
            print(last.name, last.filename, last.lineno > 0)
        else:
            print("imported")
        if saved is None:
            del sys.modules["{blocked_import}"]
        else:
            sys.modules["{blocked_import}"] = saved
        import {module_name}
        print(sys.modules["{module_name}"].__test__)
        """
    )
    file_name = module_name.replace(".", "/")
    assert result.stdout.split("\n")[:2] == [f"init {module_name} {file_name} True", "{}"], result.stderr


# ----- classes and functions -----


def load_file(path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    loaded = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(loaded)
    return loaded


def test_metadata_is_what_the_table_states(module_name, run_python):
    # Read in a fresh interpreter: a test that deletes a global and puts it back moves it
    # to the end of the module dict.
    here = pathlib.Path(__file__)
    result = run_python(
        f"""
        import importlib, importlib.util, pathlib
        spec = importlib.util.spec_from_file_location("conventions", {str(here)!r})
        conventions = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(conventions)
        print(repr(conventions.metadata(importlib.import_module("{module_name}"))))
        """
    )
    assert result.returncode == 0, result.stderr
    table = load_file(here.with_name("module_metadata.py"))
    wanted = table.METADATA[module_name]
    # An optional package the module imports when it can is bound only when installed.
    missing = {name for name in table.OPTIONAL_IMPORTS if importlib.util.find_spec(name) is None}
    wanted["globals"] = [name for name in wanted["globals"] if name not in missing]
    assert ast.literal_eval(result.stdout) == wanted


def test_classes_are_plain_python_classes(module):
    for cls in module_classes(module):
        assert type(cls) is type
        assert cls.__bases__ == (object,)
        assert cls.__module__ == module.__name__
        assert list(vars(cls))[0] == "__module__"


def test_functions_carry_python_function_metadata(module):
    for owner, attr, raw, fn in native_functions(module):
        qualname = f"{owner.__qualname__}.{attr}" if owner else attr
        assert (fn.__name__, fn.__qualname__, fn.__module__) == (attr, qualname, module.__name__)
        assert fn.__doc__ is None or isinstance(fn.__doc__, str)
        assert fn.__defaults__ is None or isinstance(fn.__defaults__, tuple)
        assert isinstance(fn.__annotations__, dict)
        assert all(isinstance(v, str) for v in fn.__annotations__.values()), qualname
        if not isinstance(raw, classmethod):  # pickled by reference, found again by name
            assert pickle.loads(pickle.dumps(fn)) is fn
        assert repr(fn).startswith(f"<function {qualname} at 0x")


def test_signatures_show_parameters_defaults_and_annotations(module):
    for owner, attr, raw, fn in native_functions(module):
        signature = inspect.signature(fn)
        params = [p for p in signature.parameters.values() if p.kind is p.POSITIONAL_OR_KEYWORD]
        defaults = tuple(p.default for p in params if p.default is not p.empty)
        assert defaults == (fn.__defaults__ or ()), fn.__qualname__
        shown = {p.name: p.annotation for p in signature.parameters.values() if p.annotation is not p.empty}
        if signature.return_annotation is not signature.empty:
            shown["return"] = signature.return_annotation
        assert shown == fn.__annotations__, fn.__qualname__
        # The docstring stays the plain text: no signature line is prepended to it.
        assert not (fn.__doc__ or "").startswith(attr + "(")
        # help() shows the real parameters, on the function and in its class.
        assert f"{attr}{signature}" in pydoc.render_doc(fn, renderer=pydoc.plaintext), fn.__qualname__
        if owner is not None and (attr == "__init__" or not attr.startswith("_")):
            listed = f"{attr}{inspect.signature(getattr(owner, attr))}"
            assert listed in pydoc.render_doc(owner, renderer=pydoc.plaintext), fn.__qualname__


def test_functions_bind_like_python_functions(module):
    for owner, attr, raw, fn in native_functions(module):
        if owner is None or isinstance(raw, (staticmethod, classmethod)):
            if isinstance(raw, staticmethod):
                assert getattr(owner, attr) is fn
            if isinstance(raw, classmethod):
                bound = getattr(owner, attr)
                assert bound.__func__ is fn and bound.__self__ is owner
            continue
        instance = object.__new__(owner)
        bound = getattr(instance, attr)
        assert isinstance(bound, types.MethodType)
        assert bound.__func__ is fn and bound.__self__ is instance
        assert fn.__get__(None, owner) is fn
        assert list(inspect.signature(bound).parameters) == list(inspect.signature(fn).parameters)[1:]


# ----- argument handling -----


def test_wrong_argument_counts_are_reported_like_the_frame_says(module):
    for owner, attr, raw, fn in native_functions(module):
        total = positional_count(fn)
        too_many = [None] * (total + 1)
        with pytest.raises(TypeError) as too_many_error:
            fn(*too_many)
        assert str(too_many_error.value) == count_message(fn, total + 1)
        required = total - len(fn.__defaults__ or ())
        if required:
            with pytest.raises(TypeError) as missing:
                fn()
            assert str(missing.value) == count_message(fn, 0)


def test_keyword_errors_name_the_function_and_the_keyword(module):
    for owner, attr, raw, fn in native_functions(module):
        signature = inspect.signature(fn)
        names = [p.name for p in signature.parameters.values() if p.kind is p.POSITIONAL_OR_KEYWORD]
        required = [None] * (len(names) - len(fn.__defaults__ or ()))
        takes_extra = any(p.kind is p.VAR_KEYWORD for p in signature.parameters.values())
        if not takes_extra:
            with pytest.raises(TypeError) as unexpected:
                fn(*required, no_such_parameter=1)
            assert str(unexpected.value) == f"{attr}() got an unexpected keyword argument 'no_such_parameter'"
        if names:
            with pytest.raises(TypeError) as twice:
                fn(*(required or [None]), **{names[0]: None})
            assert str(twice.value) == f"{attr}() got multiple values for keyword argument '{names[0]}'"


def test_errors_get_a_traceback_entry_named_after_the_function(module):
    file_name = module.__name__.replace(".", "/")
    for owner, attr, raw, fn in native_functions(module):
        with pytest.raises(TypeError) as error:
            fn(*[None] * (positional_count(fn) + 1))
        last = traceback.extract_tb(error.value.__traceback__)[-1]
        qualname = f"{owner.__qualname__}.{attr}" if owner else attr
        assert (last.name, last.filename) == (f"{module.__name__}.{qualname}", file_name)
        assert last.lineno > 0


# ----- tracebacks through calls between the package's own functions -----


def png_bytes(size=(4, 3)):
    import io

    import PIL.Image

    buffer = io.BytesIO()
    PIL.Image.new("RGB", size).save(buffer, "PNG")
    return buffer.getvalue()


class Stop(BaseException):
    """Passes every `except Exception` clause on its way out."""


def brennic_init_parse(m, monkeypatch, tmp_path):
    cls = type("Tool", (m.ImageTool,), {"STANDARD_RATIO_LIST": ["no ratio"]})
    return cls


def brennic_adjust_closest(m, monkeypatch, tmp_path):
    tool = m.ImageTool()
    tool._std_ratio_map = {"1:1": "not a number"}
    return lambda: tool.adjust_size(png_bytes())


def quessel_raw_gcd(m, monkeypatch, tmp_path):
    class Opened:
        size = (object(), 1)

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return False

    monkeypatch.setattr(m, "Image", types.SimpleNamespace(open=lambda buffer: Opened()))
    return lambda: m.ImageRatioAnalyzer().get_raw_simple_ratio(b"x")


def olvast_manager(m, monkeypatch, get, max_wait=60):
    import logging

    monkeypatch.setattr(m, "requests", types.SimpleNamespace(get=get, exceptions=m.requests.exceptions))
    manager = m.ComfyUIManager(logger=logging.getLogger("carvola-conventions"))
    manager.max_wait = max_wait
    return manager.run_reboot_and_wait


def olvast_run_trigger(m, monkeypatch, tmp_path):
    def get(url, timeout):
        raise Stop

    return olvast_manager(m, monkeypatch, get)


def olvast_run_wait(m, monkeypatch, tmp_path):
    return olvast_manager(m, monkeypatch, lambda url, timeout: types.SimpleNamespace(status_code=200), "no budget")


def vantor_init_word_file(m, monkeypatch, tmp_path):
    return lambda: m.PromptBanChecker(ban_word_file=str(tmp_path))


# One row per call of one of the package's functions by another of its own: the failing
# call, and the module's last traceback entries, outermost first. A row for a new call between
# native functions goes here, whether it passes through Python or through call_direct.
NATIVE_CALLS = [
    ("carvola.brennic", brennic_init_parse, ValueError, ["ImageTool.__init__", "ImageTool._parse_ratio"]),
    (
        "carvola.brennic",
        brennic_adjust_closest,
        TypeError,
        ["ImageTool.adjust_size", "ImageTool._get_closest_standard_ratio"],
    ),
    (
        "carvola.quessel",
        quessel_raw_gcd,
        TypeError,
        ["ImageRatioAnalyzer.get_raw_simple_ratio", "ImageRatioAnalyzer._gcd"],
    ),
    (
        "carvola.comfyui.olvast",
        olvast_run_trigger,
        Stop,
        ["ComfyUIManager.run_reboot_and_wait", "ComfyUIManager.trigger_reboot"],
    ),
    (
        "carvola.comfyui.olvast",
        olvast_run_wait,
        TypeError,
        ["ComfyUIManager.run_reboot_and_wait", "ComfyUIManager.wait_service_ready"],
    ),
    (
        "carvola.vantor",
        vantor_init_word_file,
        IsADirectoryError,
        ["PromptBanChecker.__init__", "PromptBanChecker.load_banned_words", "PromptBanChecker._load_from_file"],
    ),
]


@pytest.mark.parametrize("module_name, make, error, entries", NATIVE_CALLS)
def test_a_call_between_native_functions_leaves_both_entries(module_name, make, error, entries, monkeypatch, tmp_path):
    module = importlib.import_module(module_name)
    failing = make(module, monkeypatch, tmp_path)
    with pytest.raises(error) as raised:
        failing()
    file_name = module_name.replace(".", "/")
    native = [row.name for row in traceback.extract_tb(raised.value.__traceback__) if row.filename == file_name]
    assert native[-len(entries) :] == [f"{module_name}.{entry}" for entry in entries]
