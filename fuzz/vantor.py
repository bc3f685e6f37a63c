"""PromptBanChecker: checkers built from lists of 0 to 300 words (both engines) and from
word files as text and as pickles, matched against prompts. The payload is the word
file, and its lines the injected words. A word file that runs code while it loads is a
finding, caught by an audit hook before the code runs.

Known CPython behaviour, not a finding: the unpickler allocates the length a counted
string or bytes opcode declares before reading it, so a small hostile pickle asks for
gigabytes. fuzz/run makes a request beyond 2 GB fail with MemoryError, an ordinary
exception, where libFuzzer would report it as running out of memory
(fuzz/regressions/vantor/pickle-huge-counted-string)."""

import os
import sys
import tempfile

from common import Finding, call, chance, decoded, either, odd, pick, run, split, text

import carvola._sildor  # noqa: F401  (imported now: a later import is a word file's doing)
from carvola.vantor import PromptBanChecker

FORBIDDEN = ("exec", "import", "os.system", "os.exec", "os.posix_spawn", "os.spawn", "os.fork",
             "subprocess.Popen", "ctypes.dlopen")
_loading = False


def _audit(event, args):
    if _loading and event.startswith(FORBIDDEN):
        raise Finding(f"a word file raised the audit event {event} {args!r:.200}")


sys.addaudithook(_audit)
_work = tempfile.TemporaryDirectory(prefix="carvola-fuzz-vantor-")
EXTENSIONS = (".txt", ".pkl", ".pickle", ".PKL", ".Pickle", "", ".csv")


def words(fdp, payload):
    """A list of 0 to 300 words: the payload's lines, then variants of them, so that a
    short input still reaches the automaton's 50 words."""
    count = fdp.ConsumeIntInRange(0, 300)
    lines = decoded(payload).splitlines() or ["w"]
    return [lines[i % len(lines)] + (str(i) if i >= len(lines) else "") for i in range(count)]


def word_file(fdp, payload):
    """The path of a fresh word file holding the payload: text or pickle by extension."""
    path = os.path.join(_work.name, "words" + pick(fdp, EXTENSIONS))
    with open(path, "wb") as f:
        f.write(payload)
    return path


def exclusions(fdp):
    return None if not chance(fdp, 0.3) else [text(fdp, 12) for _ in range(fdp.ConsumeIntInRange(0, 5))]


def loading(expected, fn, *args):
    """`call`, with the audit hook watching."""
    global _loading
    _loading = True
    try:
        return call(expected, fn, *args)
    finally:
        _loading = False


def check(data):
    fdp, payload = split(data)
    path = word_file(fdp, payload) if fdp.ConsumeBool() else None
    if path is not None:
        loaded = loading(list, PromptBanChecker._load_from_file, path)
        if loaded is not None and not all(type(w) is str for w in loaded):
            raise Finding("_load_from_file gave a word that is not a str")
    word_list = either(fdp, lambda f: words(f, payload), 0.05)
    exclude = either(fdp, exclusions, 0.05)
    ignore_case = fdp.ConsumeBool()
    checker = loading(PromptBanChecker, PromptBanChecker, path, ignore_case, word_list,
                      chance(fdp, 0.05), exclude)
    if checker is None:
        return
    if not all(type(w) is str and w for w in checker.banned_words):
        raise Finding("banned_words holds an entry that is not a non-empty str")
    for _ in range(fdp.ConsumeIntInRange(1, 3)):
        parts = [text(fdp, 30)]
        if checker.banned_words and fdp.ConsumeBool():
            parts.append(pick(fdp, checker.banned_words))
            parts.append(text(fdp, 10))
        prompt = odd(fdp) if chance(fdp, 0.05) else "".join(parts)
        hits = call(list, checker.find_matched_words, prompt)
        found = call(bool, checker._has_banned_word, prompt)
        if hits is None:
            continue
        if bool(hits) != found:
            raise Finding(f"find_matched_words {hits!r} and _has_banned_word {found} disagree")
        if not ignore_case and not all(h in checker.banned_words and h in prompt for h in hits):
            raise Finding(f"hits {hits!r} are not banned words found in the prompt")
        try:
            result = checker.check(prompt)
        except sys.modules["pelvane"].PromptBanError:
            if not hits:
                raise Finding("check raised on a clean prompt") from None
            continue
        if result is not prompt or hits:
            raise Finding(f"check let {prompt!r:.100} through with hits {hits!r}")


if __name__ == "__main__":
    run(check)
