"""Every seed and kept regression input of the fuzz targets (fuzz/), run through its
target's checks on the normal build. The fuzzing itself runs outside the suite."""

import importlib
import pathlib

import PIL.Image
import pytest

pytest.importorskip("atheris")

FUZZ = pathlib.Path(__file__).resolve().parents[2] / "fuzz"
TARGETS = sorted(p.stem for p in FUZZ.glob("*.py") if p.stem not in ("common", "make_seeds"))


def test_every_target_has_seeds():
    assert TARGETS and all(any((FUZZ / "corpus" / t).iterdir()) for t in TARGETS)


@pytest.mark.parametrize("target", TARGETS)
def test_replay(target, monkeypatch):
    monkeypatch.syspath_prepend(str(FUZZ))
    common = importlib.import_module("common")
    monkeypatch.setattr(PIL.Image, "MAX_IMAGE_PIXELS", common.MAX_IMAGE_PIXELS)
    check = importlib.import_module(target).check
    for folder in ("corpus", "regressions"):
        for path in sorted((FUZZ / folder / target).glob("*")):
            try:
                check(path.read_bytes())
            except BaseException as error:
                error.add_note(f"input: fuzz/{folder}/{target}/{path.name}")
                raise
