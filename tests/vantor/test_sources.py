"""PromptBanChecker's word sources: module set-up, merging, word files, the built-in list."""

import ctypes
import importlib.util
import io
import os
import pathlib
import pickle
import sys
import traceback
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

requires_ac = pytest.mark.skipif(importlib.util.find_spec("ahocorasick") is None, reason="needs pyahocorasick")

ROOT = pathlib.Path(__file__).resolve().parents[2]
WORD_LIST = ROOT / "src" / "carvola" / "vantor" / "banned_words.txt"


def merged(outcome, cls, **kwargs):
    return outcome(lambda: cls(use_default=False, **kwargs).banned_words)


# ----- module and class -----


@requires_ac
def test_module_globals_are_the_imported_objects(run_python):
    result = run_python(
        """
        import ahocorasick, os, pickle, re, typing, pelvane
        import carvola.vantor as v
        print((v.os, v.pickle, v.re, v.ahocorasick) == (os, pickle, re, ahocorasick),
              (v.List, v.Optional, v.Set) == (typing.List, typing.Optional, typing.Set),
              v.PromptBanError is pelvane.PromptBanError, type(v._AC_THRESHOLD) is int, v._AC_THRESHOLD, v._HAS_AC)
        """
    )
    assert result.stdout.splitlines() == ["True True True True 50 True"], result.stderr


def test_the_file_helpers_are_staticmethods(vantor):
    cls = vantor.PromptBanChecker
    assert [k for k, v in vars(cls).items() if isinstance(v, staticmethod)] == ["_load_from_file", "create_pickle_file"]


HOST = "import carvola._host; sys.modules['pelvane'] = carvola._host"


@pytest.mark.parametrize(
    "preamble, fake_ahocorasick, expected",
    [
        ("", None, "ModuleNotFoundError: No module named 'pelvane'"),
        ("sys.modules['pelvane'] = types.ModuleType('pelvane')", None, "ImportError: cannot import name PromptBanError"),
        (HOST + "; sys.modules['ahocorasick'] = None", None, "ok False False"),
        (HOST, "raise ImportError('half installed')", "ok False False"),
        (HOST, "raise RuntimeError('broken')", "RuntimeError: broken"),
    ],
)
def test_import_outcomes(run_python, tmp_path, preamble, fake_ahocorasick, expected):
    if fake_ahocorasick is not None:
        (tmp_path / "ahocorasick.py").write_text(fake_ahocorasick)
    result = run_python(
        f"""
        import sys, types
        {preamble}
        try:
            import carvola.vantor as v
        except Exception as e:
            print(f"{{type(e).__name__}}: {{e}}")
        else:
            print("ok", v._HAS_AC, hasattr(v, "ahocorasick"))
        """,
        host_module=False,
        extra_path=[tmp_path] if fake_ahocorasick else (),
    )
    assert result.stdout.strip() == expected, result.stderr


# ----- construction and merging -----


class Words(list):
    pass


class Text(str):
    pass


@pytest.mark.parametrize(
    "kwargs, argument",
    [
        ({"ban_word_file": 1}, "ban_word_file"),
        ({"ban_word_file": Text("x")}, "ban_word_file"),
        ({"builtin_words": ("a",)}, "builtin_words"),
        ({"exclude_words": Words(["a"])}, "exclude_words"),
    ],
)
def test_constructor_refuses_wrong_types(vantor, kwargs, argument):
    with pytest.raises(TypeError, match=f"^Argument '{argument}' has incorrect type"):
        vantor.PromptBanChecker(**kwargs)


def test_constructor_sets_its_attributes_in_order(vantor):
    words, exclude = ["b", "a"], ["zz"]
    checker = vantor.PromptBanChecker(None, 0, words, [], exclude)
    assert list(vars(checker)) == [
        "ban_word_file", "ignore_case", "builtin_words", "use_default", "exclude_words", "banned_words",
        "_ban_regex", "_automaton",
    ]  # fmt: skip
    assert checker.builtin_words is words and checker.exclude_words is exclude
    assert (checker.ignore_case, checker.use_default, checker.banned_words) == (False, False, ["b", "a"])
    empty = []
    other = vantor.PromptBanChecker(builtin_words=empty, exclude_words=empty, use_default=False)
    assert other.builtin_words == [] and other.builtin_words is not empty and other.exclude_words is not empty
    assert (other.banned_words, other._ban_regex, other._automaton) == ([], None, None)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"builtin_words": [" a ", "", "\u3000 ", "ab", "a", "AB", "\t\n"]},
        {"builtin_words": ["ab", "abcd", "xy", "abc"]},
        {"builtin_words": ["ab", "x" * 200, "cd", "abc", "y" * 200]},  # lengths far beyond the count
        {"builtin_words": ["abc", "Abc", "ABC", "x"], "exclude_words": [" ABC ", "  ", "nope"]},
        {"builtin_words": ["abc", "Abc", "ABC", "x"], "exclude_words": [" ABC "], "ignore_case": False},
        {"builtin_words": ["İx", "i̇x", "ix", "ab"], "exclude_words": ["İX"]},
        {"builtin_words": [Text(" a "), "a", b" raw "]},
        {"builtin_words": ["a", 1]},
        {"builtin_words": ["a"], "exclude_words": [None]},
        {"builtin_words": ["a", b"a"], "exclude_words": [b"A"]},
    ],
)
def test_merging_matches_the_reference(outcome, vantor, reference, kwargs):
    assert merged(outcome, vantor.PromptBanChecker, **kwargs) == merged(outcome, reference.ReferenceChecker, **kwargs)


# Now and then a str subclass: from it on the merge keeps `seen` as a set, not its table.
word_strategy = st.text(alphabet="aAbBİi̇ \t\u3000\u2028é中", max_size=5)
words_strategy = st.lists(st.one_of(word_strategy, word_strategy.map(Text)), max_size=25)


@given(words=words_strategy, exclude=words_strategy, ignore_case=st.booleans())
@settings(max_examples=200, deadline=None)
def test_merging_random_lists_matches_the_reference(outcome, vantor, reference, words, exclude, ignore_case):
    kwargs = {"builtin_words": words, "exclude_words": exclude, "ignore_case": ignore_case}
    assert merged(outcome, vantor.PromptBanChecker, **kwargs) == merged(outcome, reference.ReferenceChecker, **kwargs)


def test_sources_merge_in_order_and_a_failed_load_changes_nothing(vantor, tmp_path):
    path = tmp_path / "words.txt"
    path.write_text("file\nshared\nzz\n", encoding="utf-8")
    checker = vantor.PromptBanChecker(str(path), builtin_words=["shared", "mine"])
    builtin = vantor._load_default_words()
    assert checker.banned_words == sorted(builtin + ["shared", "mine", "file", "zz"], key=len, reverse=True)
    before = (checker.banned_words, checker._ban_regex, checker._automaton)
    checker.ban_word_file = str(tmp_path / "missing.txt")
    with pytest.raises(FileNotFoundError) as missing:
        checker.load_banned_words()
    assert missing.value.args == (f"违禁词文件不存在: {tmp_path / 'missing.txt'}",)
    assert (checker.banned_words, checker._ban_regex, checker._automaton) == before
    assert all(a is b for a, b in zip(before, (checker.banned_words, checker._ban_regex, checker._automaton)))
    checker.ban_word_file = ""
    checker.load_banned_words()
    assert checker.banned_words == sorted(builtin + ["shared", "mine"], key=len, reverse=True)


def test_the_word_file_lookups_run_in_python_order(vantor, reference, monkeypatch, tmp_path):
    # os.path.exists is looked up before its argument self.ban_word_file is read.
    path = tmp_path / "words.txt"
    path.write_text("w\n", encoding="utf-8")

    def lookups(module, cls):
        seen = []

        class Path:
            def __getattr__(self, name):
                seen.append(f"os.path.{name}")
                return getattr(os.path, name)

        class Checker(cls):
            @property
            def ban_word_file(self):
                seen.append("ban_word_file")
                return str(path)

            @ban_word_file.setter
            def ban_word_file(self, value):
                pass

        monkeypatch.setattr(module, "os", types.SimpleNamespace(path=Path()))
        assert Checker(use_default=False).banned_words == ["w"]
        return seen

    seen = lookups(vantor, vantor.PromptBanChecker)
    assert seen[:3] == ["ban_word_file", "os.path.exists", "ban_word_file"]
    assert seen == lookups(reference, reference.ReferenceChecker)


# ----- word files -----


@pytest.fixture(params=["native", "through open"])
def read_path(request, vantor, reference, monkeypatch):
    """Word files read natively, or through a replaced `open` in the module and the reference."""
    if request.param == "through open":
        for module in (vantor, reference):
            monkeypatch.setattr(module, "open", lambda *a, **k: io.open(*a, **k), raising=False)
    return request.param


@pytest.mark.parametrize(
    "name, content",
    [
        ("words.txt", "a\n\n  b  \r\n".encode()),
        ("words.csv", "\ufeffa\rb\r\n\rc".encode()),
        ("words", "x\x0by\x0cz\x1cw\x85v\u2028u\u2029t\r\r\n\n".encode()),
        ("words.txt", b"ok\n\xff\xfe bad"),
        ("words.txt", b""),
        ("words.PKL", pickle.dumps([1, "x", " y ", None, 2.5, b"b", True, (1,), {"k": 1}, [2]])),
        ("words.Pickle", pickle.dumps(("a",))),
        ("words.pkl", pickle.dumps({"a": 1})),
        ("words.pkl", pickle.dumps(Words(["a"]))),
        ("words.pkl", b"not a pickle"),
        ("dir.pkl", None),
        ("dir.txt", None),
    ],
)
def test_word_files_read_like_the_reference(outcome, vantor, reference, read_path, tmp_path, name, content):
    path = tmp_path / name
    if content is None:
        path.mkdir()
    else:
        path.write_bytes(content)
    got = outcome(lambda: vantor.PromptBanChecker._load_from_file(str(path)))
    assert got == outcome(lambda: reference.ReferenceChecker._load_from_file(str(path)))
    # The merge reads the file itself while _load_from_file is the original.
    kwargs = {"ban_word_file": str(path), "ignore_case": False}
    assert merged(outcome, vantor.PromptBanChecker, **kwargs) == merged(outcome, reference.ReferenceChecker, **kwargs)


PIECES = [
    b"a", b"B", b" ", b"\n", b"\r", b"\r\n", b"\x0b", b"\x0c", b"\x1e", b"\xc2\x85", b"\xe2\x80\xa8", b"\xe3\x80\x80",
    b"\xef\xbb\xbf", b"\xc3\xa9", b"\xe4\xb8\xad", b"\xf0\x9f\x98\x80", b"\xc4\xb0",
    # refused by the strict decoder: stray, overlong, surrogate, past U+10FFFF, cut off
    b"\x80", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xf0\x9f", b"\xff",
]  # fmt: skip


@given(content=st.lists(st.sampled_from(PIECES), max_size=20).map(b"".join))
@settings(max_examples=300, deadline=None)
def test_text_files_split_and_decode_as_text_mode_does(outcome, vantor, reference, tmp_path_factory, content):
    path = tmp_path_factory.mktemp("lines") / "words.txt"
    path.write_bytes(content)
    native = outcome(lambda: vantor.PromptBanChecker._load_from_file(str(path)))
    assert native == outcome(lambda: reference.ReferenceChecker._load_from_file(str(path)))
    kwargs = {"ban_word_file": str(path), "builtin_words": ["a"]}
    assert merged(outcome, vantor.PromptBanChecker, **kwargs) == merged(outcome, reference.ReferenceChecker, **kwargs)


def long_lines(count, seed):
    """`count` lines of mixed ASCII and CJK words and blanks, each with one of the three line ends."""
    pieces = ["word", " 中文 ", "", "\u00e9t\u00e9", "x" * 40, "\U0001f600", "Mixed 中 text"]
    ends = ["\n", "\r", "\r\n"]
    return "".join(pieces[(i * 7 + seed) % len(pieces)] + str(i % 13) + ends[(i * 5 + seed) % 3] for i in range(count))


@pytest.mark.parametrize(
    "content",
    [
        long_lines(20_000, 0).encode(),
        long_lines(20_000, 1).encode() + b"tail without end",
        ("a" * 70_000 + "\r" + "b" * 70_000 + "\r\n" + "中" * 30_000 + "\n").encode(),  # lines longer than a piece
        long_lines(20_000, 2).encode() + b"\xff\n" + long_lines(100, 3).encode(),  # not UTF-8 past the first pieces
        b"\r\n" * 40_000,
    ],
    ids=["mixed", "no final line end", "long lines", "bad byte late", "blank"],
)
def test_long_text_files_read_like_the_reference(outcome, vantor, reference, tmp_path, content):
    path = tmp_path / "words.txt"
    path.write_bytes(content)
    native = outcome(lambda: vantor.PromptBanChecker._load_from_file(str(path)))
    assert native == outcome(lambda: reference.ReferenceChecker._load_from_file(str(path)))
    kwargs = {"ban_word_file": str(path), "builtin_words": ["word3", "kept"]}
    assert merged(outcome, vantor.PromptBanChecker, **kwargs) == merged(outcome, reference.ReferenceChecker, **kwargs)


def test_words_of_a_file_read_in_vain_are_taken_back(run_python, tmp_path):
    # The file turns valid between the native read and open(): only open()'s words stay.
    path = tmp_path / "words.txt"
    path.write_bytes(b"early\nwords\n\xff\n")
    result = run_python(
        f"""
        import sys
        from carvola.vantor import PromptBanChecker
        opened = []
        def hook(event, args):
            if event == "open" and args[0] == {str(path)!r}:
                opened.append(args)
                if len(opened) == 2:
                    with open({str(path)!r}, "wb") as f:
                        f.write(b"later\\n")
        sys.addaudithook(hook)
        print(PromptBanChecker({str(path)!r}, builtin_words=["words"], use_default=False).banned_words, len(opened))
        """
    )
    assert result.stdout.strip() == "['words', 'later'] 3", result.stderr


def test_the_direct_call_of_the_file_loader_leaves_its_traceback_entry(vantor, reference, tmp_path):
    # As a Python-level call would: __init__ -> load_banned_words -> _load_from_file.
    def entries(cls):
        with pytest.raises(IsADirectoryError) as raised:
            cls(str(tmp_path), use_default=False)
        return [entry.name.rsplit(".", 1)[-1] for entry in traceback.extract_tb(raised.value.__traceback__)]

    native = entries(vantor.PromptBanChecker)
    assert native[-3:] == ["__init__", "load_banned_words", "_load_from_file"]
    assert native[1:] == entries(reference.ReferenceChecker)[1:4]
    last = traceback.extract_tb(
        pytest.raises(IsADirectoryError, vantor.PromptBanChecker._load_from_file, str(tmp_path)).value.__traceback__
    )[-1]
    assert (last.name, last.filename) == ("carvola.vantor.PromptBanChecker._load_from_file", "carvola/vantor")


def test_a_subclass_loader_and_path_objects_take_the_general_path(vantor, tmp_path):
    path = tmp_path / "words.txt"
    path.write_text("from file\n", encoding="utf-8")

    class Checker(vantor.PromptBanChecker):
        @staticmethod
        def _load_from_file(file_path):
            return ["  loaded  ", file_path]

    assert Checker(str(path), use_default=False).banned_words == [str(path), "loaded"]
    checker = vantor.PromptBanChecker(use_default=False)
    checker.ban_word_file = path
    with pytest.raises(TypeError, match="^Argument 'file_path' has incorrect type"):
        checker.load_banned_words()


class Payload:
    def __reduce__(self):
        return (os.mkdir, (MARKER,))


MARKER = ""


@pytest.mark.parametrize("protocol", [0, 2, pickle.DEFAULT_PROTOCOL])
def test_a_malicious_pickle_never_runs(vantor, tmp_path, protocol):
    global MARKER
    MARKER = str(tmp_path / "ran")
    path = tmp_path / "evil.pkl"
    path.write_bytes(pickle.dumps(["ok", Payload()], protocol=protocol))
    with pytest.raises(pickle.UnpicklingError, match="不得引用全局对象.*: (posix|os)\\.mkdir$"):
        vantor.PromptBanChecker(str(path))
    assert not os.path.exists(MARKER)


def test_create_pickle_file_writes_what_loads_back(vantor, tmp_path):
    path = tmp_path / "words.pkl"
    path.write_bytes(b"old content")
    assert vantor.PromptBanChecker.create_pickle_file(["  a ", "", None, "b", " \t"], str(path)) is None
    assert pickle.loads(path.read_bytes()) == ["a", "b"]
    assert vantor.PromptBanChecker._load_from_file(str(path)) == ["a", "b"]
    with pytest.raises(AttributeError):
        vantor.PromptBanChecker.create_pickle_file(["a", 1], str(path))
    with pytest.raises(TypeError, match="^Argument 'words' has incorrect type"):
        vantor.PromptBanChecker.create_pickle_file(("a",), str(path))


# ----- the built-in list -----


@given(data=st.binary(max_size=64), key=st.binary(min_size=1, max_size=9))
def test_xor_matches_the_build_script_and_undoes_itself(vantor, data, key):
    import runpy

    script = runpy.run_path(str(ROOT / "src" / "carvola" / "vantor" / "encipher_words.py"))
    out = vantor._xor(data, key)
    assert out == script["xor"](data, key) and len(out) == len(data) and vantor._xor(out, key) == data


def test_xor_edges(vantor):
    assert vantor._xor(b"", b"") == b""
    with pytest.raises(ZeroDivisionError, match="^integer modulo by zero$"):
        vantor._xor(b"a", b"")
    with pytest.raises(TypeError, match="^Argument 'key' has incorrect type"):
        vantor._xor(b"a", bytearray(b"k"))


@pytest.mark.skipif(not WORD_LIST.exists(), reason="needs the source tree")
def test_the_built_in_list_is_the_enciphered_word_list(vantor):
    import carvola._sildor as sildor

    expected = [w.strip() for w in WORD_LIST.read_text(encoding="utf-8").splitlines() if w.strip()]
    assert pickle.loads(vantor._xor(sildor._ED, sildor._EK)) == expected == vantor._load_default_words()
    assert len(expected) >= 50 and any("\u4e00" <= c <= "\u9fff" for w in expected for c in w)
    assert "nude" not in sildor.__loader__.get_source(sildor.__name__)


def sildor_module(**attrs):
    module = types.ModuleType("carvola._sildor")
    vars(module).update(attrs)
    return module


@pytest.mark.parametrize(
    "sildor, expected",
    [
        (None, []),
        (sildor_module(_ED=b""), []),
        (sildor_module(_ED=bytearray(b"x"), _EK=b"k"), []),
        (sildor_module(_ED=b"x", _EK=b""), []),
        (sildor_module(_ED=b"garbage", _EK=b"\0"), []),
        (sildor_module(_ED=pickle.dumps(("a",)), _EK=b"\0"), []),
        (sildor_module(_ED=pickle.dumps(["a", " b"]), _EK=b"\0"), ["a", " b"]),
        (sildor_module(_ED=pickle.dumps(None), _EK=b"\0"), None),
    ],
)
def test_the_built_in_list_falls_back_to_nothing(vantor, monkeypatch, sildor, expected):
    monkeypatch.setitem(sys.modules, "carvola._sildor", sildor)
    assert vantor._load_default_words() == expected
    if expected is None:
        with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
            vantor.PromptBanChecker()
    else:
        assert vantor.PromptBanChecker(ignore_case=False).banned_words == [w.strip() for w in expected]


def test_use_default_false_never_imports_the_built_in_list(run_python):
    result = run_python(
        """
        import sys
        from carvola.vantor import PromptBanChecker
        PromptBanChecker(use_default=False, builtin_words=["x"])
        print("carvola._sildor" in sys.modules)
        PromptBanChecker()
        print("carvola._sildor" in sys.modules)
        """
    )
    assert result.stdout.split() == ["False", "True"], result.stderr


def test_the_case_facts_the_exclusion_filter_relies_on():
    # The exclusion skips lower() for words whose characters are all their own simple lower
    # case; U+0130 is the one character whose full lower case differs from that.
    simple_lower = ctypes.pythonapi._PyUnicode_ToLowercase
    simple_lower.restype, simple_lower.argtypes = ctypes.c_uint32, [ctypes.c_uint32]
    chars = list(map(chr, range(sys.maxunicode + 1)))
    assert [c for c in chars if len(c.lower()) != 1] == ["\u0130"]
    assert [c for c in chars if simple_lower(ord(c)) == ord(c) and c.lower() != c] == []
