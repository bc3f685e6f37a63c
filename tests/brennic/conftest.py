"""Fixtures of the brennic tests."""

import pathlib
import runpy

import pytest

HERE = pathlib.Path(__file__).resolve().parent


@pytest.fixture(scope="session")
def Reference():
    """The plain-Python ImageTool the module is compared against."""
    return runpy.run_path(str(HERE / "reference.py"))["ReferenceImageTool"]


@pytest.fixture(scope="session")
def brennic():
    import carvola.brennic

    return carvola.brennic
