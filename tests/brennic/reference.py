"""ImageTool written in plain Python, the behaviour the module must match.

Used by the tests as the oracle and by the benchmarks as the plain-Python baseline. It
leaves argument conversion to the callers: they pass bytes, a truth value and a float.
"""

import math
import re
from io import BytesIO
from typing import Optional, Tuple

from PIL import Image


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

    def adjust_size(self, image_bytes: bytes, return_origin_ratio: bool = False, expand_percent: float = 10.0):
        expand_scale = expand_percent / 100.0 + 1.0
        img_io = BytesIO(image_bytes)
        img = Image.open(img_io).convert("RGBA")
        ori_w, ori_h = img.size
        ori_closest_ratio = self._get_closest_standard_ratio(ori_w, ori_h)
        if self.proportion is not None and self.proportion != ori_closest_ratio:
            img_io.seek(0)
            origin_bytes = img_io.getvalue()
            if not return_origin_ratio:
                return origin_bytes
            return origin_bytes, self.proportion

        if self.need_adjust == "resize":
            expand_w, expand_h = ori_w, ori_h
            if ori_h > ori_w:
                expand_w = int(ori_w * expand_scale)
            elif ori_w > ori_h:
                expand_h = int(ori_h * expand_scale)
            else:
                expand_w = int(ori_w * expand_scale)
                expand_h = int(ori_h * expand_scale)
            resized_img = img.resize((expand_w, expand_h), Image.Resampling.LANCZOS)
        elif self.need_adjust == "fill":
            new_w, new_h = ori_w, ori_h
            if ori_w < ori_h:
                new_w = int(ori_w * expand_scale)
            elif ori_h < ori_w:
                new_h = int(ori_h * expand_scale)
            else:
                new_w = int(ori_w * expand_scale)
                new_h = int(ori_h * expand_scale)
            scaled_img = img
            img_w, img_h = scaled_img.width, scaled_img.height
            canvas_h, canvas_w = new_h, new_w
            canvas = Image.new("RGBA", (canvas_w, canvas_h), self.fill_color)
            paste_x = (canvas_w - img_w) // 2
            paste_y = (canvas_h - img_h) // 2
            canvas.paste(img, (paste_x, paste_y), mask=img if img.mode == "RGBA" else None)
            resized_img = canvas
        else:
            raise ValueError("need_adjust 仅支持 resize / fill")

        out_io = BytesIO()
        img_format = img.format or "PNG"
        resized_img.save(out_io, format=img_format, quality=95)
        out_io.seek(0)
        result_bytes = out_io.getvalue()
        if not return_origin_ratio:
            return result_bytes
        return result_bytes, ori_closest_ratio
