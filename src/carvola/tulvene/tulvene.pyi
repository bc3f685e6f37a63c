from typing import Any, TypedDict

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
