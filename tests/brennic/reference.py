"""ImageTool's ratio lookup written in plain Python, the behaviour the module must match.

Used by the tests as the oracle and by the benchmarks as the plain-Python baseline.
"""

import math
import re
from typing import Optional, Tuple


class ReferenceImageTool:
    STANDARD_RATIO_LIST = ["1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"]

    def __init__(
        self, proportion: Optional[str] = None, need_adjust: str = "fill", fill_color=(255, 255, 255, 0), **kwargs
    ):
        if isinstance(proportion, str) and proportion.strip() == "":
            self.proportion = None
        else:
            self.proportion = proportion
        self.need_adjust = need_adjust
        self.fill_color = fill_color
        self.kwargs = kwargs
        self._std_ratio_map = {}
        for r in self.STANDARD_RATIO_LIST:
            w, h = self._parse_ratio(r)
            self._std_ratio_map[r] = w / h

    @staticmethod
    def _parse_ratio(ratio_str: str) -> Tuple[int, int]:
        match = re.match(r"(\d+):(\d+)", ratio_str.strip())
        if not match:
            raise ValueError(f"比例格式错误 {ratio_str}，示例：3:4")
        w = int(match.group(1))
        h = int(match.group(2))
        return w, h

    def _get_closest_standard_ratio(self, width: int, height: int) -> str:
        img_ratio = width / height
        min_diff = math.inf
        best_ratio = self.STANDARD_RATIO_LIST[0]
        for ratio_str, std_val in self._std_ratio_map.items():
            diff = abs(img_ratio - std_val)
            if diff < min_diff:
                min_diff = diff
                best_ratio = ratio_str
        return best_ratio
