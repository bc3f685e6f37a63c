"""Fixtures of the resize tests: the module and its plain-Python oracle."""

import pathlib
import runpy

import pytest

HERE = pathlib.Path(__file__).resolve().parent


@pytest.fixture(scope="session")
def reference():
    """The plain-Python image_resize the module is compared against."""
    return runpy.run_path(str(HERE / "reference.py"))["reference_image_resize"]


@pytest.fixture(scope="session")
def resize_module():
    import carvola.resize

    return carvola.resize
