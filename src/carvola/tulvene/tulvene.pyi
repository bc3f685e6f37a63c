from typing import Any, TypedDict

__test__: dict[str, str]

# At run time this is the host module's ServiceError, which calc_size raises in strict
# mode with the message and the keyword aspect_ratio. Declared here so that type checking
# needs no typed host module.
class ServiceError(Exception):
    message: str
    aspect_ratio: Any
    def __init__(self, message: str = ..., aspect_ratio: Any = ...) -> None: ...

class _Size(TypedDict):
    width: int
    height: int
    size: str
    pixels: int
    aspect_ratio: str
    resolution: str
    valid: bool

class GPTImageSizeCalculator:
    MIN_PIXELS: int
    MAX_PIXELS: int
    MAX_EDGE: int
    MULTIPLE: int
    MAX_RATIO: float
    RESOLUTION_PRESET: dict[str, int]
    def __init__(self) -> None: ...
    @classmethod
    def round_to_multiple(cls, value: Any, multiple: Any = None) -> int: ...
    @classmethod
    def floor_to_multiple(cls, value: Any, multiple: Any = None) -> int: ...
    @classmethod
    def is_valid_image_size(cls, width: int, height: int) -> bool: ...
    @classmethod
    def calc_size(cls, aspect_ratio: str = "1:1", resolution: str = "2k", strict: bool = False) -> _Size: ...
