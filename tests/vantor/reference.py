"""PromptBanChecker written in plain Python, the behaviour the module must match.

Used by the tests as the oracle and by the benchmarks as the plain-Python baseline. Like
the module it reads from its own globals at the moment of use, so the tests can replace
`open`, `_HAS_AC` or `_AC_THRESHOLD` in both alike. Word-file pickles go through an
unpickler that refuses every global.
"""

import os
import pickle
import re
from typing import List, Optional

from pelvane import PromptBanError

_AC_THRESHOLD = 50
try:
    import ahocorasick

    _HAS_AC = True
except ImportError:
    _HAS_AC = False


def _xor(data: bytes, key: bytes) -> bytes:
    key_len = len(key)
    return bytes(b ^ key[i % key_len] for i, b in enumerate(data))


def _load_default_words() -> List[str]:
    try:
        from carvola._sildor import _ED, _EK

        raw = _xor(_ED, _EK)
        words = pickle.loads(raw)
        if type(words) is list or words is None:
            return words
        raise TypeError("the built-in word list is not a list")
    except (ImportError, Exception):
        return []


class _RestrictedUnpickler(pickle.Unpickler):
    def find_class(self, module, name):
        raise pickle.UnpicklingError(
            f"违禁词 pickle 文件不得引用全局对象（只能包含 list、str 等基本数据）: {module}.{name}"
        )


class ReferenceChecker:
    def __init__(
        self,
        ban_word_file: Optional[str] = None,
        ignore_case: bool = True,
        builtin_words: Optional[List[str]] = None,
        use_default: bool = True,
        exclude_words: Optional[List[str]] = None,
    ):
        self.ban_word_file = ban_word_file
        self.ignore_case = bool(ignore_case)
        self.builtin_words = builtin_words if builtin_words else []
        self.use_default = bool(use_default)
        self.exclude_words = exclude_words if exclude_words else []
        self.banned_words = []
        self._ban_regex = None
        self._automaton = None
        self.load_banned_words()

    def load_banned_words(self) -> None:
        seen = set()
        word_list = []

        def _add_words(words):
            for word in words:
                w = word.strip()
                if w and w not in seen:
                    seen.add(w)
                    word_list.append(w)

        if self.use_default:
            _add_words(_load_default_words())
        _add_words(self.builtin_words)
        if self.ban_word_file:
            if not os.path.exists(self.ban_word_file):
                raise FileNotFoundError(f"违禁词文件不存在: {self.ban_word_file}")
            _add_words(self._load_from_file(self.ban_word_file))
        if self.exclude_words:
            if self.ignore_case:
                exclude_set = {e.strip().lower() for e in self.exclude_words if e.strip()}
                word_list = [w for w in word_list if w.lower() not in exclude_set]
            else:
                exclude_set = {e.strip() for e in self.exclude_words if e.strip()}
                word_list = [w for w in word_list if w not in exclude_set]
        word_list.sort(key=lambda x: len(x), reverse=True)
        self.banned_words = word_list
        self._build_engine()

    @staticmethod
    def _load_from_file(file_path: str) -> List[str]:
        ext = os.path.splitext(file_path)[1].lower()
        if ext == ".pkl" or ext == ".pickle":
            with open(file_path, "rb") as f:
                data = _RestrictedUnpickler(f).load()
            if not isinstance(data, list):
                raise ValueError(f"pickle 文件内容必须是 list，当前类型: {type(data).__name__}")
            return [str(item) for item in data]
        words = []
        with open(file_path, "r", encoding="utf-8") as f:
            for line in f:
                words.append(line.strip())
        return words

    def _build_engine(self) -> None:
        if not self.banned_words:
            self._ban_regex = None
            self._automaton = None
            return
        if len(self.banned_words) >= _AC_THRESHOLD and _HAS_AC:
            self._automaton = self._build_automaton()
            self._ban_regex = None
            return
        self._automaton = None
        escape_words = [re.escape(w) for w in self.banned_words]
        pattern = "|".join(escape_words)
        flags = re.IGNORECASE if self.ignore_case else 0
        self._ban_regex = re.compile(pattern, flags=flags)

    def _build_automaton(self):
        auto = ahocorasick.Automaton()
        for word in self.banned_words:
            key = word.lower() if self.ignore_case else word
            auto.add_word(key, word)
        auto.make_automaton()
        return auto

    def find_matched_words(self, text: str) -> List[str]:
        if self._automaton:
            search_text = text.lower() if self.ignore_case else text
            hits = set()
            for _, word in self._automaton.iter(search_text):
                hits.add(word)
            return list(hits)
        if not self._ban_regex:
            return []
        return list(set(self._ban_regex.findall(text)))

    def _has_banned_word(self, text: str) -> bool:
        if self._automaton:
            search_text = text.lower() if self.ignore_case else text
            for _ in self._automaton.iter(search_text):
                return True
            return False
        if not self._ban_regex:
            return False
        return self._ban_regex.search(text) is not None

    def check(self, prompt: str) -> str:
        if not self._has_banned_word(prompt):
            return prompt
        hit_words = self.find_matched_words(prompt)
        msg = "违禁词: " + ",".join(hit_words)
        raise PromptBanError(error_msg=msg, data=hit_words)

    @staticmethod
    def create_pickle_file(words: List[str], output_path: str) -> None:
        cleaned = [w.strip() for w in words if w and w.strip()]
        with open(output_path, "wb") as f:
            pickle.dump(cleaned, f)
