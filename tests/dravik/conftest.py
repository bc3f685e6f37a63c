"""Fixtures of the dravik tests: the module, its plain-Python oracle, image stand-ins."""

import pathlib
import runpy

import pytest

HERE = pathlib.Path(__file__).resolve().parent


@pytest.fixture(scope="session")
def Reference():
    """The plain-Python FluxKontextImageScale the module is compared against."""
    return runpy.run_path(str(HERE / "reference.py"))["ReferenceFluxKontextImageScale"]


@pytest.fixture(scope="session")
def dravik():
    import carvola.dravik

    return carvola.dravik


class FakeImage:
    """Anything with width, height and resize; resize records its arguments in `log`."""

    def __init__(self, width, height, log=None):
        self.width, self.height = width, height
        self.log = [] if log is None else log

    def resize(self, size, resample):
        self.log.append(("resize", size, resample))
        return ("resized", size)


@pytest.fixture(name="FakeImage", scope="session")
def fake_image():
    return FakeImage
