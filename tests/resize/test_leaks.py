"""Every path of image_resize, succeeding and failing, called many times."""

import types

import PIL.Image
import pytest


@pytest.fixture(scope="module")
def scenarios(resize_module):
    image_resize = resize_module.image_resize
    image = PIL.Image.new("RGB", (12, 9), (1, 2, 3))
    colour = (9, 8, 7)
    return {
        "resize": (lambda: image_resize(image, 8, 8), (image,)),
        "resize with colour by keyword": (lambda: image_resize(image, 8.5, target_h=8, bg_color=colour), (colour,)),
        "bad colour": (lambda: image_resize(image, 8, 8, "no colour"), (image,)),
        "no size": (lambda: image_resize(colour, 8, 8), (colour,)),
        "size not a pair": (lambda: image_resize(types.SimpleNamespace(size=(1, 2, 3)), 8, 8), ()),
        "zero source": (lambda: image_resize(types.SimpleNamespace(size=(0, 2)), 8, 8), ()),
        "zero scaled size": (lambda: image_resize(PIL.Image.new("RGB", (100, 1)), 8, 8), ()),
        "huge target": (lambda: image_resize(image, 2**31, 8), (image,)),
    }


@pytest.mark.parametrize(
    "name",
    [
        "resize", "resize with colour by keyword", "bad colour", "no size", "size not a pair",
        "zero source", "zero scaled size", "huge target",
    ],
)  # fmt: skip
def test_no_leaks(scenarios, assert_no_leak, name):
    call, watched = scenarios[name]
    assert_no_leak(call, watched=watched, calls=1000)
