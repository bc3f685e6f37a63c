"""A stand-in for the host application's module ``pelvane``.

``carvola.vantor`` and ``carvola.tulvene`` import ``PromptBanError`` and ``ServiceError``
from ``pelvane``, which the host application provides; the library never falls back to
this module. Tests and the command line, which run without the host, install it first::

    import sys
    import carvola._host

    sys.modules.setdefault("pelvane", carvola._host)
"""

from typing import Any


class PromptBanError(Exception):
    """A prompt holds banned words: ``error_msg`` says which, ``data`` lists them."""

    def __init__(self, error_msg: str = "", data: Any = None) -> None:
        super().__init__(error_msg)
        self.error_msg = error_msg
        self.data = data


class ServiceError(Exception):
    """A request the service refuses, such as an aspect ratio out of range."""

    def __init__(self, message: str = "", aspect_ratio: Any = None) -> None:
        super().__init__(message)
        self.message = message
        self.aspect_ratio = aspect_ratio
