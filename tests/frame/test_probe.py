"""The frame through a test-only module built from the frame's sources.

The probe is compiled here (it never ships) pretending to target Python 3.12, and
exercises conversions, binding and statement semantics that the shipped modules only
reach in some of their functions.
"""

import ctypes
import decimal
import fractions
import functools
import importlib
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import traceback
import types
import warnings

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PROBE_SOURCE = ROOT / "tests" / "probe" / "frame_probe.cpp"


@pytest.fixture(scope="session")
def probe_dir(tmp_path_factory):
    compiler = shutil.which("g++")
    if compiler is None or not PROBE_SOURCE.exists():
        pytest.skip("needs g++ and the frame's sources")
    folder = tmp_path_factory.mktemp("probe")
    target = folder / ("frame_probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    sources = sorted((ROOT / "src" / "common").glob("*.cpp")) + [PROBE_SOURCE]
    command = [
        compiler, "-std=c++20", "-O1", "-shared", "-fPIC", "-fvisibility=hidden",
        f"-I{ROOT / 'src' / 'common'}", f"-I{sysconfig.get_paths()['include']}",
        "-DCARVOLA_EXPECTED_PY_MINOR=12", *map(str, sources), "-o", str(target),
    ]  # fmt: skip
    built = subprocess.run(command, capture_output=True, text=True)
    if built.returncode != 0:
        pytest.fail(f"the probe does not build:\n{built.stderr}")
    return folder


@pytest.fixture(scope="session")
def probe_import(probe_dir):
    sys.path.insert(0, str(probe_dir))
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            module = importlib.import_module("frame_probe")
    finally:
        sys.path.remove(str(probe_dir))
    return module, caught


@pytest.fixture
def probe(probe_import):
    return probe_import[0]


def test_a_runtime_of_another_version_is_warned_about(probe_import):
    _, caught = probe_import
    messages = [(w.category, str(w.message)) for w in caught]
    expected = "compile time Python version 3.12 of module 'frame_probe' does not match runtime version 3.11"
    assert (RuntimeWarning, expected) in messages


def failing_line():
    lines = PROBE_SOURCE.read_text().splitlines()
    return next(n for n, line in enumerate(lines, 1) if '"probe_missing_module"' in line)


@pytest.mark.parametrize(
    "mode, expected",
    [
        # the exception of the failing statement, with an entry naming the module's init
        ("fail", lambda: f"ModuleNotFoundError | init frame_probe frame_probe {failing_line()}"),
        # a failure that sets no exception becomes ImportError("init frame_probe")
        ("fail_silently", lambda: "ImportError init frame_probe | <module> <string> 5"),
    ],
)
def test_failed_execution(probe_dir, run_python, mode, expected):
    (probe_dir / "probe_mode.py").write_text(f"MODE = {mode!r}\n")
    try:
        result = run_python(
            """
            import traceback, warnings
            warnings.simplefilter("ignore")
            try:
                import frame_probe
            except ImportError as e:
                last = traceback.extract_tb(e.__traceback__)[-1]
                told = "" if type(e) is ModuleNotFoundError else f" {e}"
                print(f"{type(e).__name__}{told} | {last.name} {last.filename} {last.lineno}")
            """,
            extra_path=[probe_dir],
            host_module=False,
        )
    finally:
        (probe_dir / "probe_mode.py").unlink()
    assert result.stdout.strip() == expected(), result.stderr


# ----- argument conversions -----


class IntSub(int):
    pass


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class ListSub(list):
    pass


class Index:
    def __index__(self):
        return 6


class Broken:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


GOOD = dict(number=1, real=1.0, truth=True, data=b"", items=[])


@pytest.mark.parametrize(
    "name, given, expected",
    [
        ("number", 7, 7),
        ("number", 7.9, 7),
        ("number", -7.9, -7),
        ("number", True, 1),
        ("number", IntSub(5), 5),
        ("number", 2**100, 2**100),
        ("number", decimal.Decimal("3.99"), 3),
        ("number", fractions.Fraction(7, 2), 3),
        ("number", Index(), 6),
        ("real", 1, 1.0),
        ("real", Index(), 6.0),
        ("real", True, 1.0),
        ("truth", [], False),
        ("truth", "x", True),
        ("items", None, None),
        ("text", None, None),
        ("text", "s", "s"),
    ],
)
def test_arguments_are_converted(probe, name, given, expected):
    result = probe.kinds(**{**GOOD, name: given})
    value = result[["number", "real", "truth", "data", "items", "text"].index(name)]
    assert value == expected and type(value) is type(expected)


@pytest.mark.parametrize(
    "name, given, error, message",
    [
        ("number", "7", TypeError, "Argument 'number' has incorrect type (expected int, got str)"),
        ("number", None, TypeError, "Argument 'number' has incorrect type (expected int, got NoneType)"),
        ("number", float("inf"), OverflowError, "cannot convert float infinity to integer"),
        ("number", float("nan"), ValueError, "cannot convert float NaN to integer"),
        ("number", 1j, TypeError, "int() argument must be a string, a bytes-like object or a real number, not 'complex'"),
        ("real", "1.0", TypeError, "must be real number, not str"),
        ("truth", Broken(), ZeroDivisionError, "no truth"),
        ("data", bytearray(b"x"), TypeError, "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
        ("data", None, TypeError, "Argument 'data' has incorrect type (expected bytes, got NoneType)"),
        ("items", (), TypeError, "Argument 'items' has incorrect type (expected list, got tuple)"),
        ("text", 5, TypeError, "Argument 'text' has incorrect type (expected str, got int)"),
    ],
)
def test_arguments_that_do_not_convert_are_refused(probe, name, given, error, message):
    with pytest.raises(error) as raised:
        probe.kinds(**{**GOOD, name: given})
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "name, given, type_name",
    [("data", BytesSub(b"x"), "BytesSub"), ("items", ListSub(), "ListSub"), ("text", StrSub("x"), "StrSub")],
)
def test_subclasses_of_exact_types_are_refused_with_a_note(probe, name, given, type_name):
    with pytest.raises(TypeError) as raised:
        probe.kinds(**{**GOOD, name: given})
    expected = {"data": "bytes", "items": "list", "text": "str"}[name]
    head = f"Argument '{name}' has incorrect type (expected {expected}, got {type_name}). "
    assert str(raised.value).startswith(head)
    assert str(raised.value).count(".") == 2  # one sentence of note


def test_conversions_fail_before_exact_type_checks(probe):
    with pytest.raises(TypeError, match="Argument 'count'"):
        probe.ordered(None, "3")
    with pytest.raises(TypeError, match="Argument 'label'"):
        probe.ordered(None, 3.5)
    assert probe.ordered("a", 3.5) == ("a", 3)


# ----- binding -----


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((1,), {}, (1, 2, {})),
        ((1, 5), {}, (1, 5, {})),
        ((), {"first": 1, "second": 5}, (1, 5, {})),
        ((1,), {"other": 3, "more": 4}, (1, 2, {"other": 3, "more": 4})),
        ((), {"second": 0, "first": 9, "z": 1}, (9, 0, {"z": 1})),
    ],
)
def test_keywords_bind_and_extra_ones_are_collected(probe, args, kwargs, expected):
    result = probe.keywords(*args, **kwargs)
    assert result == expected
    assert list(result[2]) == list(expected[2])


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: p.keywords(), "keywords() takes at least 1 positional argument (0 given)"),
        (lambda p: p.keywords(second=1), "keywords() takes at least 1 positional argument (0 given)"),
        (lambda p: p.keywords(1, 2, 3), "keywords() takes at most 2 positional arguments (3 given)"),
        (lambda p: p.keywords(1, first=2), "keywords() got multiple values for keyword argument 'first'"),
        (lambda p: p.kinds(1, truth=True), "kinds() takes at least 5 positional arguments (1 given)"),
        (lambda p: p.kinds(1, 2.0, True, data=b"", text=None), "kinds() takes at least 5 positional arguments (4 given)"),
        (lambda p: p.as_int(), "as_int() takes exactly 1 positional argument (0 given)"),
        (lambda p: p.as_int(1, bogus=2), "as_int() got an unexpected keyword argument 'bogus'"),
        (lambda p: p.as_int(bogus=2), "as_int() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_binding_errors(probe, call, message):
    with pytest.raises(TypeError) as raised:
        call(probe)
    assert str(raised.value) == message


def test_keywords_must_be_strings_for_callers_from_c(probe):
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    args = (ctypes.py_object * 2)(1, 2)
    with pytest.raises(TypeError) as raised:
        vectorcall(probe.keywords, args, 1, (3,))
    assert str(raised.value) == "keywords() keywords must be strings"


# ----- results -----


@pytest.mark.parametrize(
    "function, value, expected",
    [
        ("as_int", 5, 5),
        ("as_int", True, 1),
        ("as_int", 2.9, 2),
        ("as_int", IntSub(3), 3),
        ("as_str", "x", "x"),
        ("as_str", None, None),
        ("as_list", [1], [1]),
        ("as_list", None, None),
    ],
)
def test_results_are_checked_against_the_return_annotation(probe, function, value, expected):
    result = getattr(probe, function)(value)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    "function, value, message",
    [
        ("as_int", "3", "Expected int, got str"),
        ("as_int", None, "Expected int, got NoneType"),
        ("as_str", 1, "Expected str, got int"),
        ("as_str", StrSub("x"), "Expected str, got StrSub"),
        ("as_list", (), "Expected list, got tuple"),
    ],
)
def test_results_of_another_type_are_refused(probe, function, value, message):
    with pytest.raises(TypeError) as raised:
        getattr(probe, function)(value)
    assert str(raised.value) == message


# ----- statements -----


class Odd(Exception):
    def __new__(cls, *args):
        return 5


def test_raise_follows_the_raise_statement(probe):
    instance = ValueError("as given")
    with pytest.raises(ValueError) as raised:
        probe.raise_it(instance)
    assert raised.value is instance
    with pytest.raises(KeyError) as raised:
        probe.raise_it(KeyError)
    assert raised.value.args == ()
    with pytest.raises(TypeError, match=r"^raise: exception class must be a subclass of BaseException$"):
        probe.raise_it(42)
    with pytest.raises(TypeError, match=r"should have returned an instance of BaseException, not <class 'int'>"):
        probe.raise_it(Odd)


@pytest.mark.parametrize(
    "make, python_message, short_message",
    [
        (lambda: (1,), "not enough values to unpack (expected 2, got 1)", "need more than 1 value to unpack"),
        (lambda: [], "not enough values to unpack (expected 2, got 0)", "need more than 0 values to unpack"),
        (lambda: iter([1]), "not enough values to unpack (expected 2, got 1)", "need more than 1 value to unpack"),
        (lambda: (1, 2, 3), "too many values to unpack (expected 2)", "too many values to unpack (expected 2)"),
        (lambda: iter(range(5)), "too many values to unpack (expected 2)", "too many values to unpack (expected 2)"),
        (lambda: 5, "cannot unpack non-iterable int object", "'int' object is not iterable"),
    ],
)
def test_unpacking_errors_in_both_forms(probe, make, python_message, short_message):
    for short_form, message in ((False, python_message), (True, short_message)):
        with pytest.raises((ValueError, TypeError)) as raised:
            probe.unpack(make(), short_form)
        assert str(raised.value) == message


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: (1, 2), (1, 2)),
        (lambda: [1, 2], (1, 2)),
        (lambda: "ab", ("a", "b")),
        (lambda: iter([1, 2]), (1, 2)),
        (lambda: {1: 0, 2: 0}, (1, 2)),
    ],
)
def test_unpacking_pairs(probe, make, expected):
    assert probe.unpack(make()) == expected
    assert probe.unpack(make(), True) == expected


def exploding():
    yield 1
    raise LookupError("mid-way")


def test_unpacking_passes_iteration_errors_on(probe):
    with pytest.raises(LookupError, match="mid-way"):
        probe.unpack(exploding())


class Callee:
    def __call__(self, *args, **kwargs):
        return ("call", args, kwargs)

    def record(self, *args, **kwargs):
        return ("record", args, kwargs)


def test_calls_pass_positional_and_keyword_arguments(probe):
    expected = [("call", (), {}), ("call", (1,), {}), ("record", (1, 2), {})]
    expected += [("call", (1,), {"key": 2}), ("record", (1,), {"key": 2})]
    assert list(probe.calls(Callee(), 1, 2)) == expected
    shadowed = Callee()
    shadowed.record = lambda *args, **kwargs: ("own", args, kwargs)  # found as a method call finds it
    assert probe.calls(shadowed, 1, 2)[2:] == (("own", (1, 2), {}), ("call", (1,), {"key": 2}), ("own", (1,), {"key": 2}))


def fail():
    raise KeyError("body")


def except_call(attempt, cls, handler):
    try:
        return attempt()
    except cls as e:
        return handler(e)


def handled_then(error=None):
    """A handler that records the exception being handled, then raises `error` if given."""

    def handler(e):
        seen = sys.exc_info()[1]
        if error is not None:
            raise error
        return ("handled", type(e), seen is e)

    return handler


@pytest.mark.parametrize(
    "attempt, cls, handler",
    [
        (lambda: "fine", int, None),
        (fail, KeyError, handled_then()),
        (fail, LookupError, handled_then()),
        (fail, (ValueError, KeyError), handled_then()),
        (fail, ValueError, handled_then()),
        (fail, int, handled_then()),
        (fail, (ValueError, "KeyError"), handled_then()),
        (fail, KeyError, handled_then(OSError("in the handler"))),
    ],
)
def test_except_clauses_match_and_chain_as_python_does(probe, attempt, cls, handler):
    def run(function):
        try:
            return ("value", function(attempt, cls, handler))
        except Exception as e:  # noqa: BLE001 - every failure is compared
            return ("error", type(e), str(e), type(e.__context__), sys.exc_info()[1] is e)

    try:
        raise ArithmeticError("outer")
    except ArithmeticError as outer:
        assert run(probe.except_call) == run(except_call)
        assert sys.exc_info()[1] is outer


def with_call(manager, body):
    with manager as value:
        return body(value)


class Manager:
    """Records what the with statement gives __exit__ and what is handled meanwhile."""

    def __init__(self, log, exit_result=None, exit_error=None):
        self.log, self.exit_result, self.exit_error = log, exit_result, exit_error

    def __enter__(self):
        self.log.append("enter")
        return "entered"

    def __exit__(self, kind, value, traceback):
        own = traceback is getattr(value, "__traceback__", None)
        self.log.append(("exit", kind, type(value), type(sys.exc_info()[1]), own))
        if self.exit_error is not None:
            raise self.exit_error
        return self.exit_result


class Truthless:
    def __bool__(self):
        raise ArithmeticError("no truth")


class NotFunctions:
    """Special methods that are not functions: an object without __get__, a static method."""

    __enter__ = functools.partial(str, "partial")
    __exit__ = staticmethod(lambda *exc: True)


@pytest.mark.parametrize(
    "manager, body",
    [
        ({}, str.upper),
        ({}, fail),
        ({"exit_result": 1}, fail),
        ({"exit_result": ""}, fail),
        ({"exit_result": Truthless()}, fail),
        ({"exit_error": OSError("in __exit__")}, fail),
        ({"exit_error": OSError("in __exit__")}, str.upper),
        (object(), str.upper),
        (type("NoExit", (), {"__enter__": lambda self: self})(), str.upper),
        (NotFunctions(), fail),
    ],
)
def test_with_blocks_follow_the_context_manager_protocol(probe, manager, body):
    def run(function):
        log = []
        given = Manager(log, **manager) if isinstance(manager, dict) else manager
        try:
            return ("value", function(given, body)), log
        except Exception as e:  # noqa: BLE001 - every failure is compared
            return ("error", type(e), str(e), type(e.__context__)), log

    assert run(probe.with_call) == run(with_call)
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize(
    "statement",
    [
        lambda p: p.except_call(fail, KeyError, handled_then()),
        lambda p: p.with_call(Manager([], exit_result=True), fail),
    ],
)
def test_a_generator_keeps_nothing_its_caller_was_handling(probe, statement):
    def generator():
        yield statement(probe)
        yield sys.exc_info()[1]

    steps = generator()
    try:
        raise ValueError("handled by the caller")
    except ValueError:
        next(steps)
    assert next(steps) is None


def test_globals_are_looked_up_when_used(probe):
    assert probe.lookup("sys") is sys
    assert probe.lookup("len") is len
    with pytest.raises(NameError) as raised:
        probe.lookup("no_such_global")
    assert str(raised.value) == "name 'no_such_global' is not defined"
    saved = probe.sys
    probe.sys = "replaced"
    try:
        assert probe.lookup("sys") == "replaced"
    finally:
        probe.sys = saved


# ----- classes -----


def test_a_class_with_an_explicit_base_and_every_kind_of_method(probe):
    shape = probe.Shape
    assert type(shape) is type and shape.__bases__ == (object,)
    assert list(vars(shape))[:6] == ["__module__", "__doc__", "ANSWER", "make", "helper", "method"]
    assert shape.__doc__ == "A probe class." and shape.__qualname__ == "Shape" and shape.ANSWER == 42
    assert shape.make(3.7) == (shape, 3)

    class Derived(shape):
        pass

    assert Derived.make(1) == (Derived, 1) and Derived().make(2) == (Derived, 2)
    assert shape.helper(5) == (5,) and shape().helper(5) == (5,)
    instance = shape()
    assert instance.method() == (instance, 2.0) and instance.method(scale=3) == (instance, 3.0)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.make(), "make() takes exactly 2 positional arguments (1 given)"),
        (lambda s: s.make(1, 2), "make() takes exactly 2 positional arguments (3 given)"),
        (lambda s: s().method(1, 2), "method() takes at most 2 positional arguments (3 given)"),
        (lambda s: s.method(), "method() takes at least 1 positional argument (0 given)"),
        (lambda s: s.helper(), "helper() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_the_instance_or_class_counts_as_an_argument(probe, call, message):
    with pytest.raises(TypeError) as raised:
        call(probe.Shape)
    assert str(raised.value) == message


def test_function_attributes_behave_like_a_python_function(probe):
    fn = probe.kinds
    assert fn.__defaults__ == (None,) and fn.__kwdefaults__ is None
    assert fn.__annotations__ == {
        "number": "int", "real": "float", "truth": "bool", "data": "bytes", "items": "Optional[List[str]]", "text": "str"
    }  # fmt: skip
    assert str(__import__("inspect").signature(fn)) == (
        "(number: 'int', real: 'float', truth: 'bool', data: 'bytes', items: 'Optional[List[str]]', text: 'str' = None)"
    )
    with pytest.raises(AttributeError):
        fn.__defaults__ = ()
    with pytest.raises(TypeError):
        fn.__name__ = 5
    fn.custom = "kept"
    try:
        assert fn.__dict__ == {"custom": "kept"}
    finally:
        del fn.custom
    assert probe.keywords.__signature__.parameters["kwargs"].kind.name == "VAR_KEYWORD"


def test_traceback_entries_name_the_function(probe):
    with pytest.raises(TypeError) as raised:
        probe.Shape.make("x")
    last = traceback.extract_tb(raised.value.__traceback__)[-1]
    assert (last.name, last.filename) == ("frame_probe.Shape.make", "frame_probe")
    line = next(n for n, text in enumerate(PROBE_SOURCE.read_text().splitlines(), 1) if "native<pair>()" in text)
    assert last.lineno == line


def test_a_native_call_leaves_the_callee_entry_as_a_python_call_would(probe):
    with pytest.raises(KeyError) as raised:
        probe.direct(KeyError)
    rows = [(row.name, row.filename) for row in traceback.extract_tb(raised.value.__traceback__)[-2:]]
    assert rows == [("frame_probe.direct", "frame_probe"), ("frame_probe.raise_it", "frame_probe")]


def test_guards_notice_a_replaced_global_or_attribute(probe, monkeypatch):
    assert probe.guards() == (True, True)
    monkeypatch.setattr(sys, "getrecursionlimit", lambda: 1)
    assert probe.guards() == (True, False)
    monkeypatch.undo()
    monkeypatch.setattr(probe, "sys", types.SimpleNamespace(getrecursionlimit=sys.getrecursionlimit))
    assert probe.guards() == (False, False)
    monkeypatch.delattr(probe, "sys")
    with pytest.raises(NameError):
        probe.guards()


@pytest.mark.parametrize(
    "call",
    [
        lambda p, v: p.direct(v),
        lambda p, v: p.kinds(7.9, v, [], b"x", [v], v),
        lambda p, v: p.kinds("no", v, True, b"", []),
        lambda p, v: p.kinds(1, 1.0, True, bytearray(), []),
        lambda p, v: p.ordered(v, 2**70 + 0.0),
        lambda p, v: p.keywords(v, extra=v, more=v),
        lambda p, v: p.keywords(v, first=v),
        lambda p, v: p.as_int(2.5),
        lambda p, v: p.as_str(v),
        lambda p, v: p.as_str(5),
        lambda p, v: p.raise_it(KeyError),
        lambda p, v: p.raise_it(ValueError(v)),
        lambda p, v: p.raise_it(v),
        lambda p, v: p.unpack((v, v)),
        lambda p, v: p.unpack(iter([v, v, v])),
        lambda p, v: p.unpack([v], True),
        lambda p, v: p.calls(Callee(), v, v),
        lambda p, v: p.calls(v, v, v),
        lambda p, v: p.except_call(fail, KeyError, lambda e: v),
        lambda p, v: p.except_call(fail, ValueError, None),
        lambda p, v: p.except_call(fail, v, None),
        lambda p, v: p.with_call(Manager([]), lambda e: v),
        lambda p, v: p.with_call(Manager([], exit_result=True), fail),
        lambda p, v: p.with_call(Manager([], exit_error=OSError(v)), fail),
        lambda p, v: p.with_call(v, fail),
        lambda p, v: p.lookup("no_such_global"),
        lambda p, v: p.Shape.make(v),
        lambda p, v: p.Shape().method(3),
    ],
)
def test_no_leaks_in_the_frame(probe, assert_no_leak, call):
    value = "watched"
    assert_no_leak(lambda: call(probe, value), watched=(value,), calls=1000)
