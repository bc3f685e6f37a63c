from PIL import Image as Image
from PIL.Image import Resampling as Resampling

__test__: dict[str, str]

class FluxKontextImageScale:
    PREFERED_KONTEXT_RESOLUTIONS: list[tuple[int, int]]
    image: Image.Image
    def __init__(self, image: Image.Image) -> None: ...
    def start(self) -> Image.Image: ...
