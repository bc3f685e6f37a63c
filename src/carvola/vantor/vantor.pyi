import os as os
import pickle as pickle
import re as re
from typing import Any, List, Optional, Set

__test__: dict[str, str]

_AC_THRESHOLD: int
_HAS_AC: bool

# At run time this is the host module's PromptBanError, which the checker raises with the
# keywords error_msg (the message) and data (the banned words found). It is declared here
# rather than imported from ``pelvane`` so that type checking needs no typed host module.
class PromptBanError(Exception):
    error_msg: str
    data: Any
    def __init__(self, error_msg: str = ..., data: Any = ...) -> None: ...

def _xor(data: bytes, key: bytes) -> bytes: ...
def _load_default_words() -> List[str]: ...

class PromptBanChecker:
    ban_word_file: Optional[str]
    ignore_case: bool
    builtin_words: List[str]
    use_default: bool
    exclude_words: List[str]
    banned_words: List[str]
    _ban_regex: Optional[re.Pattern[str]]
    _automaton: Any
    def __init__(
        self,
        ban_word_file: Optional[str] = None,
        ignore_case: bool = True,
        builtin_words: Optional[List[str]] = None,
        use_default: bool = True,
        exclude_words: Optional[List[str]] = None,
    ) -> None: ...
    def load_banned_words(self) -> None: ...
    @staticmethod
    def _load_from_file(file_path: str) -> List[str]: ...
    def _build_engine(self) -> None: ...
    def _build_automaton(self) -> Any: ...
    def find_matched_words(self, text: str) -> List[str]: ...
    def _has_banned_word(self, text: str) -> bool: ...
    def check(self, prompt: str) -> str: ...
    @staticmethod
    def create_pickle_file(words: List[str], output_path: str) -> None: ...
