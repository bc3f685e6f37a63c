"""Fixtures of the quessel tests."""

import io
import pathlib
import runpy

import PIL.Image
import pytest

HERE = pathlib.Path(__file__).resolve().parent


@pytest.fixture(scope="session")
def Reference():
    """The plain-Python ImageRatioAnalyzer the module is compared against."""
    return runpy.run_path(str(HERE / "reference.py"))["ReferenceImageRatioAnalyzer"]


@pytest.fixture(scope="session")
def quessel():
    import carvola.quessel

    return carvola.quessel


@pytest.fixture(scope="session")
def png():
    """PNG bytes of a blank bilevel image of the given size."""
    made = {}

    def make(width, height):
        if (width, height) not in made:
            buffer = io.BytesIO()
            PIL.Image.new("1", (width, height)).save(buffer, "PNG")
            made[width, height] = buffer.getvalue()
        return made[width, height]

    return make


@pytest.fixture
def image_global(quessel, Reference, monkeypatch):
    """Installs a stand-in for the module global `Image` in the module and the reference."""

    def install(stand_in):
        monkeypatch.setattr(quessel, "Image", stand_in)
        monkeypatch.setitem(Reference.get_raw_simple_ratio.__globals__, "Image", stand_in)

    return install
