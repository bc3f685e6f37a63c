"""PromptBanChecker's matching: engine choice, both engines' hits, check and its error."""

import importlib.util
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pelvane


requires_ac = pytest.mark.skipif(importlib.util.find_spec("ahocorasick") is None, reason="needs pyahocorasick")


def checker(vantor, words, **kwargs):
    return vantor.PromptBanChecker(builtin_words=words, use_default=False, **kwargs)


def engine_of(c):
    if c._automaton is not None:
        assert c._ban_regex is None
        return "automaton"
    return "regex" if c._ban_regex is not None else None


@pytest.mark.parametrize("has_ac", [pytest.param(True, marks=requires_ac), False])
@pytest.mark.parametrize("count", [0, 1, 49, 50, 200])
def test_engine_choice_follows_the_threshold(vantor, monkeypatch, has_ac, count):
    monkeypatch.setattr(vantor, "_HAS_AC", has_ac)
    c = checker(vantor, [f"w{i}" for i in range(count)])
    assert engine_of(c) == (None if count == 0 else "automaton" if has_ac and count >= 50 else "regex")
    # Both globals are read at every build.
    monkeypatch.setattr(vantor, "_AC_THRESHOLD", 1)
    c.load_banned_words()
    assert engine_of(c) == (None if count == 0 else "automaton" if has_ac else "regex")


def test_regex_engine_pattern_and_flags(vantor):
    c = checker(vantor, ["a.b", "c++", "ab"])
    assert (c._ban_regex.pattern, c._ban_regex.flags) == (r"a\.b|c\+\+|ab", re.IGNORECASE | re.UNICODE)
    assert checker(vantor, ["x"], ignore_case=False)._ban_regex.flags == re.UNICODE


@pytest.mark.parametrize(
    "words, text, ignore_case, expected",
    [
        (["ab", "abc"], "xabcx", True, {"regex": ["abc"], "automaton": ["ab", "abc"]}),
        (["abc"], "xxABCxx abc ABC", True, {"regex": ["ABC", "abc"], "automaton": ["abc"]}),
        (["abc"], "xxABCxx", False, {"regex": [], "automaton": []}),
        (["Foo", "FOO"], "a foo", True, {"regex": ["foo"], "automaton": ["FOO"]}),
        (["a.b", "c++"], "axb c+ a.b", True, {"regex": ["a.b"], "automaton": ["a.b"]}),
        (["词", "违禁"], "一个违禁词一个违禁词", True, {"regex": ["违禁", "词"], "automaton": ["违禁", "词"]}),
    ],
)
def test_hits_per_engine(vantor, reference, engine, words, text, ignore_case, expected):
    c = checker(vantor, words, ignore_case=ignore_case)
    assert engine_of(c) == engine
    assert sorted(c.find_matched_words(text)) == sorted(expected[engine])
    assert c._has_banned_word(text) is bool(expected[engine])
    ref = reference.ReferenceChecker(builtin_words=words, use_default=False, ignore_case=ignore_case)
    assert c.find_matched_words(text) == ref.find_matched_words(text)


@given(
    words=st.lists(st.text(alphabet="abAB.+中", min_size=1, max_size=4), max_size=8),
    text=st.text(alphabet="abAB.+中 x", max_size=30),
    ignore_case=st.booleans(),
)
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
def test_random_searches_match_the_reference(vantor, reference, engine, words, text, ignore_case):
    c = checker(vantor, words, ignore_case=ignore_case)
    ref = reference.ReferenceChecker(builtin_words=words, use_default=False, ignore_case=ignore_case)
    assert c.find_matched_words(text) == ref.find_matched_words(text)
    assert c._has_banned_word(text) is ref._has_banned_word(text)


def test_check_passes_a_clean_prompt_and_raises_the_hits(vantor, engine):
    c = checker(vantor, ["foo", "bar", "x" * 3])
    prompt = "a clean prompt " * 3
    assert c.check(prompt) is prompt
    assert checker(vantor, []).check(prompt) is prompt
    with pytest.raises(pelvane.PromptBanError) as banned:
        c.check("foo and BAR and foo")
    data = banned.value.data
    assert sorted(data) == (["BAR", "foo"] if engine == "regex" else ["bar", "foo"])
    assert banned.value.error_msg == "违禁词: " + ",".join(data)


@pytest.mark.parametrize(
    "factory, error, message",
    [
        (lambda **kw: ValueError(kw["error_msg"]), ValueError, "违禁词: foo"),
        (lambda **kw: KeyError, KeyError, None),
        (lambda **kw: "no exception", TypeError, "raise: exception class must be a subclass of BaseException"),
        (None, NameError, "name 'PromptBanError' is not defined"),
    ],
)
def test_check_raises_what_the_host_error_gives(vantor, monkeypatch, factory, error, message):
    c = checker(vantor, ["foo"])
    if factory is None:
        monkeypatch.delattr(vantor, "PromptBanError")
    else:
        monkeypatch.setattr(vantor, "PromptBanError", factory)
    with pytest.raises(error) as raised:
        c.check("foo")
    if message is not None:
        assert str(raised.value) == message


def test_check_goes_through_the_instance(vantor):
    class Checker(vantor.PromptBanChecker):
        def _has_banned_word(self, text):
            return text == "flagged"

        def find_matched_words(self, text):
            return ("a", "b")

    c = Checker(use_default=False)
    assert c.check("foo") == "foo"
    with pytest.raises(pelvane.PromptBanError) as banned:
        c.check("flagged")
    assert (banned.value.error_msg, banned.value.data) == ("违禁词: a,b", ("a", "b"))


class Text(str):
    pass


@pytest.mark.parametrize("method", ["check", "find_matched_words", "_has_banned_word"])
@pytest.mark.parametrize("value", [None, Text("foo"), b"foo"])
def test_text_must_be_exactly_str(vantor, method, value):
    with pytest.raises(TypeError, match="^Argument '(prompt|text)' has incorrect type"):
        getattr(checker(vantor, ["foo"]), method)(value)


@requires_ac
def test_engine_build_failures(vantor, monkeypatch):
    c = checker(vantor, ["a"] * 1 + [f"w{i}" for i in range(60)])
    assert engine_of(c) == "automaton"
    monkeypatch.setattr(vantor, "_HAS_AC", False)
    monkeypatch.setattr(vantor.re, "compile", lambda *a, **k: (_ for _ in ()).throw(re.error("bad")))
    with pytest.raises(re.error):
        c.load_banned_words()
    assert c._automaton is None and len(c.banned_words) == 61
    monkeypatch.undo()
    monkeypatch.delattr(vantor, "ahocorasick")
    with pytest.raises(NameError, match="^name 'ahocorasick' is not defined$"):
        c._build_automaton()


def test_ignore_case_changed_after_the_build(vantor, engine):
    c = checker(vantor, ["abc"])
    c.ignore_case = False
    # The pattern keeps its flag; the automaton searches the text as it is.
    assert c.find_matched_words("ABC") == (["ABC"] if engine == "regex" else [])

