"""Every entry point of carvola.vantor, succeeding and failing, called many times."""

import io
import os
import pickle

import pytest


class Text(str):
    def strip(self):
        return Text(str.strip(self))


class Evil:
    def __reduce__(self):
        return (os.getcwd, ())


@pytest.fixture(scope="module")
def scenarios(vantor, tmp_path_factory):
    folder = tmp_path_factory.mktemp("leaks")
    text_file = folder / "words.txt"
    text_file.write_text("\ufeffalpha\r\n  beta \n\n中文\r" + "\n".join(f"w{i}" for i in range(80)), encoding="utf-8")
    bad_text = folder / "bad.txt"
    bad_text.write_bytes(b"fine\n\xff\n")
    pickled = folder / "words.pkl"
    pickled.write_bytes(pickle.dumps(["a", 1, b"b", None, (2,)]))
    evil = folder / "evil.pkl"
    evil.write_bytes(pickle.dumps([Evil()]))
    wrong = folder / "wrong.pickle"
    wrong.write_bytes(pickle.dumps({"a": 1}))
    out = folder / "out.pkl"
    Checker = vantor.PromptBanChecker
    small = Checker(builtin_words=["foo", "bar", "c++"], use_default=False)
    large = Checker(builtin_words=[f"w{i}" for i in range(80)], use_default=False)
    words, exclude, prompt = ["  x ", "X", Text(" y "), "yy"], [" X ", Text("yy"), "  "], "a w7 foo prompt"

    def general(path):
        vantor.open = lambda *a, **k: io.open(*a, **k)
        try:
            return Checker(str(path), use_default=False)
        finally:
            del vantor.open

    return {
        "construct default": (lambda: Checker(), ()),
        "construct with sources": (lambda: Checker(str(text_file), True, words, True, exclude), (words, exclude)),
        "construct case-sensitive": (lambda: Checker(None, False, words, False, exclude), (words,)),
        "construct through open": (lambda: general(text_file), ()),
        "construct pickle file": (lambda: Checker(str(pickled), use_default=False), ()),
        "construct missing file": (lambda: Checker(str(folder / "none.txt")), ()),
        "construct undecodable": (lambda: Checker(str(bad_text)), ()),
        "construct malicious pickle": (lambda: Checker(str(evil)), ()),
        "construct wrong pickle": (lambda: Checker(str(wrong)), ()),
        "construct wrong item": (lambda: Checker(builtin_words=["a", 1]), ()),
        "construct wrong type": (lambda: Checker(builtin_words=("a",)), ()),
        "load text file": (lambda: Checker._load_from_file(str(text_file)), ()),
        "check clean regex": (lambda: small.check(prompt.upper()), (small,)),
        "check dirty regex": (lambda: small.check(prompt), (small, prompt)),
        "check clean automaton": (lambda: large.check("nothing here"), (large,)),
        "check dirty automaton": (lambda: large.check(prompt), (large, prompt)),
        "find regex": (lambda: small.find_matched_words(prompt), (prompt,)),
        "find automaton": (lambda: large.find_matched_words(prompt), (prompt,)),
        "check wrong type": (lambda: small.check(Text("foo")), ()),
        "xor": (lambda: vantor._xor(b"data" * 10, b"key"), ()),
        "xor empty key": (lambda: vantor._xor(b"data", b""), ()),
        "default words": (lambda: vantor._load_default_words(), ()),
        "create pickle file": (lambda: Checker.create_pickle_file(words, str(out)), (words,)),
    }


@pytest.mark.parametrize(
    "name",
    [
        "construct default", "construct with sources", "construct case-sensitive", "construct through open",
        "construct pickle file", "construct missing file", "construct undecodable", "construct malicious pickle",
        "construct wrong pickle", "construct wrong item", "construct wrong type", "load text file",
        "check clean regex", "check dirty regex", "check clean automaton", "check dirty automaton", "find regex",
        "find automaton", "check wrong type", "xor", "xor empty key", "default words", "create pickle file",
    ],
)  # fmt: skip
def test_no_leaks(scenarios, assert_no_leak, name):
    call, watched = scenarios[name]
    assert_no_leak(call, watched=watched, calls=400 if name.startswith(("construct", "load", "create")) else 2000)
