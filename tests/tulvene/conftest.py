"""Fixtures of the tulvene tests."""

import pathlib
import runpy

import pytest

HERE = pathlib.Path(__file__).resolve().parent


@pytest.fixture(scope="session")
def Reference():
    """The plain-Python GPTImageSizeCalculator the module is compared against."""
    return runpy.run_path(str(HERE / "reference.py"))["ReferenceGPTImageSizeCalculator"]


@pytest.fixture(scope="session")
def tulvene():
    import carvola.tulvene

    return carvola.tulvene


@pytest.fixture(scope="session")
def Calculator(tulvene):
    return tulvene.GPTImageSizeCalculator
