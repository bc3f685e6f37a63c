"""Batches of the carvola command on real files: output names, existing outputs, output
folders inside inputs, modes, orientation, fitting and file permissions."""

import os
import stat

import pytest
from helpers import carvola, results, summary
from PIL import Image


def files_below(folder):
    return sorted(p.relative_to(folder).as_posix() for p in folder.rglob("*") if p.is_file())


@pytest.fixture
def clashing(tmp_path):
    """hopper in four formats, a nested folder, and a second folder with the same names."""
    first, second = tmp_path / "first", tmp_path / "second"
    (first / "deep").mkdir(parents=True)
    second.mkdir()
    for suffix in ("gif", "jpg", "png", "tif"):
        Image.new("RGB", (64, 48), (10, 20, 30)).save(first / f"hopper.{suffix}")
    Image.new("RGB", (48, 48)).save(first / "deep" / "alone.png")
    Image.new("RGB", (48, 48)).save(second / "alone.png")
    (first / "notes.txt").write_text("not an image")
    return first, second


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("command", [["kontext"], ["adjust"], ["adjust", "-p", "1:1"]])
def test_clashing_names_keep_their_suffix_whatever_the_order(clashing, tmp_path, command, jobs):
    first, _ = clashing
    out = tmp_path / "out"
    run = carvola(*command, first, "-o", out, "-j", jobs, "--json")
    assert run.returncode == 0, run.stderr
    # Copied unchanged (adjust -p 1:1 on 4:3 images) keeps the source's own name; the
    # clash check covered both names, so none of them collide either.
    expected = {"deep/alone.png"} | (
        {"hopper.gif", "hopper.jpg", "hopper.png", "hopper.tif"}
        if "-p" in command
        else {f"hopper.{s}.png" for s in ("gif", "jpg", "png", "tif")}
    )
    assert set(files_below(out)) == expected
    assert {os.path.relpath(r["output"], out) for r in results(run).values()} == expected
    assert summary(run) == {"done": 5, "failed": 0, "total": 5, "skipped_files": 1}


def test_a_clash_between_input_folders_is_refused_before_any_work(clashing, tmp_path):
    first, second = clashing
    run = carvola("kontext", first / "deep", second, "-o", tmp_path / "out")
    assert run.returncode == 2 and "alone.png" in run.stderr and len(run.stderr.splitlines()) == 1
    assert not (tmp_path / "out").exists()


def test_existing_outputs_fail_skip_or_are_replaced(clashing, tmp_path):
    first, _ = clashing
    out = tmp_path / "out"
    source = first / "deep"
    assert carvola("kontext", source, "-o", out).returncode == 0
    target = out / "alone.png"
    target.write_bytes(b"kept")

    again = carvola("kontext", source, "-o", out, "--json")
    assert again.returncode == 1 and str(target) in results(again)[str(source / "alone.png")]["error"]
    assert target.read_bytes() == b"kept"

    skipped = carvola("kontext", source, "-o", out, "--skip-existing", "--json")
    assert skipped.returncode == 0 and summary(skipped)["skipped_existing"] == 1
    assert target.read_bytes() == b"kept"

    replaced = carvola("kontext", source, "-o", out, "--overwrite")
    assert replaced.returncode == 0 and Image.open(target).size == (1024, 1024)
    assert files_below(out) == ["alone.png"]  # no temporary file left


def test_output_folder_inside_an_input_folder(clashing, tmp_path):
    first, _ = clashing
    before = {p: p.read_bytes() for p in first.rglob("*") if p.is_file()}
    refused = carvola("adjust", first, "-o", first)
    assert refused.returncode == 2 and "input folder" in refused.stderr
    for twice in range(2):
        run = carvola("kontext", first, "-o", first / "out", "--skip-existing", "--json")
        assert run.returncode == 0, run.stderr
        assert summary(run)["total"] == 5  # its own outputs are never read back
    assert not (first / "out" / "out").exists()
    assert {p: p.read_bytes() for p in before} == before
    # A file named as input is never replaced, even when asked to overwrite.
    inplace = carvola("kontext", first / "out" / "deep" / "alone.png", "-o", first / "out" / "deep", "--overwrite")
    assert inplace.returncode == 2 and "replace the input" in inplace.stderr


@pytest.mark.parametrize(
    "mode, fmt, expected",
    [
        ("CMYK", "png", "RGB"), ("I;16", "png", "I;16"), ("I;16", "jpeg", "L"),
        ("RGBA", "jpeg", "RGB"), ("LA", "webp", "RGBA"),
    ],  # fmt: skip
)
def test_modes_a_format_cannot_hold_are_converted(tmp_path, mode, fmt, expected):
    source = tmp_path / "in.tif"
    fill = {"CMYK": (0, 255, 255, 0), "I;16": 51400, "RGBA": (255, 0, 0, 128), "LA": (200, 100)}[mode]
    Image.new(mode, (64, 48), fill).save(source)
    run = carvola("kontext", source, "-o", tmp_path / "out", "--format", fmt, "--json")
    assert run.returncode == 0, run.stderr
    line = results(run)[str(source)]
    with Image.open(line["output"]) as written:
        assert written.mode == expected
        if mode == "I;16" and expected == "L":
            assert written.getextrema() == (200, 200)  # 51400 / 257, scaled rather than clipped
        if mode == "CMYK":
            assert written.getpixel((10, 10)) == (255, 0, 0)
    assert line.get("converted_from") == (None if expected == mode else mode)


def rotated_jpeg(path, stored=(200, 100)):
    """A picture stored 200x100, displayed 100x200 (EXIF orientation 6), red at the
    stored left edge, which is the displayed top."""
    image = Image.new("RGB", stored, (0, 0, 255))
    image.paste((255, 0, 0), (0, 0, 20, stored[1]))
    exif = Image.Exif()
    exif[0x0112] = 6
    image.save(path, exif=exif, quality=95)


def test_exif_orientation_is_honoured_unless_asked(tmp_path):
    source = tmp_path / "phone.jpg"
    rotated_jpeg(source)
    ratio = carvola("ratio", source, "--json", "--range", "3")
    assert (results(ratio)[str(source)]["exact"], results(ratio)[str(source)]["approx"]) == ("1:2", "1:2")
    kept = carvola("ratio", source, "--json", "--keep-orientation")
    assert results(kept)[str(source)]["exact"] == "2:1"

    kontext = carvola("kontext", source, "-o", tmp_path / "k", "--json")
    assert results(kontext)[str(source)]["size"] == [720, 1456]  # portrait, as displayed
    boxed = carvola("letterbox", source, "-o", tmp_path / "l", "-s", "100x200", "--json")
    with Image.open(results(boxed)[str(source)]["output"]) as image:
        red, _, blue = image.getpixel((50, 3))
        assert red > 200 and blue < 60  # the red edge is at the top
    adjusted = carvola("adjust", source, "-o", tmp_path / "a", "--json")
    assert results(adjusted)[str(source)]["size"] == [110, 200]


def test_fit_crop_keeps_proportions_and_stretch_does_not(tmp_path):
    # Squares 40 pixels wide in a row: a crop keeps them square, a stretch does not.
    source = tmp_path / "wide.png"
    image = Image.new("L", (1000, 200), 255)
    for left in range(0, 1000, 80):
        image.paste(0, (left, 80, left + 40, 120))
    image.save(source)
    for fit in ("crop", "stretch"):
        run = carvola("kontext", source, "-o", tmp_path / fit, "--fit", fit, "--json")
        assert results(run)[str(source)]["size"] == [1568, 672]
    with Image.open(tmp_path / "crop" / "wide.png") as cropped:
        row = [cropped.getpixel((x, 336)) < 128 for x in range(1568)]
    runs = [len(r) for r in "".join("x" if dark else " " for dark in row).split() if r]
    scale = 672 / 200
    assert all(abs(length - 40 * scale) <= 3 for length in runs[1:-1])
    with Image.open(tmp_path / "stretch" / "wide.png") as stretched:
        assert stretched.size == (1568, 672)


def test_outputs_get_the_umask_mode_and_unreadable_files_name_their_path(tmp_path):
    source = tmp_path / "in"
    source.mkdir()
    Image.new("RGB", (30, 20)).save(source / "a.png")
    (source / "broken.jpg").write_bytes(b"\xff\xd8 not really")
    for umask, expected in ((0o022, 0o644), (0o007, 0o660)):
        out = tmp_path / f"out{umask:o}"
        run = carvola("kontext", source, "-o", out, "--json", umask=umask)
        assert run.returncode == 1
        assert stat.S_IMODE((out / "a.png").stat().st_mode) == expected
        error = results(run)[str(source / "broken.jpg")]
        assert error["ok"] is False and "0x" not in error["error"]
        assert f"failed: {source / 'broken.jpg'}" in carvola("ratio", source / "broken.jpg").stderr


def test_pillow_warnings_are_counted_or_shown_once_per_file(tmp_path):
    # A palette image with byte transparency makes Pillow warn when it is converted.
    source = tmp_path / "palette.png"
    palette = Image.new("P", (40, 30))
    palette.putpalette([0, 0, 0, 255, 0, 0] * 128)
    palette.save(source, transparency=bytes([0, 255] * 128))
    quiet = carvola("letterbox", source, "-o", tmp_path / "quiet", "-s", "50x50")
    assert quiet.returncode == 0
    assert quiet.stderr.splitlines() == ["1 done, 0 failed, 1 in all; 1 warnings (-v shows them)"]
    shown = carvola("letterbox", source, "-o", tmp_path / "shown", "-s", "50x50", "-v")
    assert [line for line in shown.stderr.splitlines() if line.startswith("warning:")] == [
        f"warning: {source}: Palette images with Transparency expressed in bytes should be converted to RGBA images"
    ]
