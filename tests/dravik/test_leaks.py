"""Every path of FluxKontextImageScale, succeeding and failing, called many times."""

import pytest


@pytest.fixture(scope="module")
def scenarios(dravik, FakeImage):
    Scale = dravik.FluxKontextImageScale
    image = FakeImage(1920, 1080)
    image.log = type("Discard", (list,), {"append": lambda self, item: None})()
    scale = Scale(image)

    def with_table(table, size=(16, 9)):
        fake = FakeImage(*size)
        fake.log = image.log
        holder = Scale(fake)
        holder.PREFERED_KONTEXT_RESOLUTIONS = table
        return holder

    bad_entry, empty, zero, incomparable = (
        with_table([(1, 1), (1,)]),
        with_table([]),
        with_table([(1, 0)]),
        with_table([(1, 1), (1j, 1j)], (1, 1)),
    )
    return {
        "construct": (lambda: Scale(image), (image,)),
        "start": (scale.start, (image, scale)),
        "start zero height": (Scale(FakeImage(1, 0)).start, ()),
        "start missing width": (Scale(object()).start, ()),
        "start bad entry": (bad_entry.start, (bad_entry,)),
        "start empty table": (empty.start, (empty,)),
        "start zero entry": (zero.start, (zero,)),
        "start incomparable": (incomparable.start, (incomparable,)),
    }


@pytest.mark.parametrize(
    "name",
    [
        "construct", "start", "start zero height", "start missing width", "start bad entry", "start empty table",
        "start zero entry", "start incomparable",
    ],
)  # fmt: skip
def test_no_leaks(scenarios, assert_no_leak, name):
    call, watched = scenarios[name]
    assert_no_leak(call, watched=watched, calls=1000)
