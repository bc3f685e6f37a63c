"""Fixtures of the vantor tests: the module, its plain-Python reference, forced engines."""

import importlib.util
import pathlib

import pytest

HERE = pathlib.Path(__file__).resolve().parent


@pytest.fixture(scope="session")
def vantor():
    import carvola.vantor

    return carvola.vantor


@pytest.fixture(scope="session")
def reference():
    """The reference as a module, so tests can replace its globals as they do the module's."""
    spec = importlib.util.spec_from_file_location("vantor_reference", HERE / "reference.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(params=["regex", "automaton"])
def engine(request, vantor, reference, monkeypatch):
    """Forces one engine for every list size, in the module and the reference alike."""
    for module in (vantor, reference):
        if request.param == "regex":
            monkeypatch.setattr(module, "_HAS_AC", False)
        else:
            if not module._HAS_AC:
                pytest.skip("needs pyahocorasick")
            monkeypatch.setattr(module, "_AC_THRESHOLD", 1)
    return request.param
