"""ImageRatioAnalyzer written in plain Python, the behaviour the module must match.

Used by the tests as the oracle and by the benchmarks as the plain-Python baseline.
"""

from io import BytesIO

from PIL import Image


class ReferenceImageRatioAnalyzer:
    def __init__(self, approx_search_range: int = 10):
        self.approx_search_range = approx_search_range

    @staticmethod
    def _gcd(a: int, b: int) -> int:
        while b:
            a, b = b, a % b
        return a

    def get_raw_simple_ratio(self, image_bytes: bytes) -> str:
        with BytesIO(image_bytes) as buf:
            with Image.open(buf) as img:
                width, height = img.size
        div = self._gcd(width, height)
        w = width // div
        h = height // div
        return f"{w}:{h}"

    def get_approx_simple_ratio(self, image_bytes: bytes) -> str:
        with BytesIO(image_bytes) as buf:
            with Image.open(buf) as img:
                width, height = img.size
        target = width / height
        min_error = float("inf")
        best_w, best_h = width, height
        limit = self.approx_search_range
        for i in range(1, limit + 1):
            for j in range(1, limit + 1):
                current = i / j
                error = abs(current - target)
                if error < min_error:
                    min_error = error
                    best_w, best_h = i, j
        return f"{best_w}:{best_h}"
