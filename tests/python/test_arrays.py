"""edgemap.detect and edgemap.mask against the NumPy transcription of the
reference: shapes, memory layouts, thresholds, out=, argument errors, and
the GIL released around the library's work."""
import math
import os
import subprocess
import sys
import threading
import time
import tracemalloc

import numpy as np
import pytest

import edgemap
import edges_reference as reference

SIDES = (1, 2, 3, 5, 16, 17, 31, 32, 33, 63, 64, 65, 70)
THRESHOLDS = (90.0, 45.0, 200.0, 0.5, 1000.0)


def sample(rng, shape):
    """Low noise with sparse bright spots: some pixels reach each of
    THRESHOLDS and some do not."""
    image = rng.integers(0, 40, shape, dtype=np.uint8)
    spots = rng.random(shape[:2] + (1,)) < 0.15
    return image + (spots * rng.integers(60, 216, shape)).astype(np.uint8)


def check(image, threshold=90.0):
    got = edgemap.detect(image, threshold)
    np.testing.assert_array_equal(got, reference.detect(image, threshold))
    got_mask = edgemap.mask(image, threshold)
    assert got_mask.dtype == np.bool_ and got_mask.shape == image.shape[:2]
    np.testing.assert_array_equal(got_mask, reference.mask(image, threshold))


@pytest.mark.parametrize("channels", [3, 4])
def test_every_side_from_1_to_70(channels):
    # Every height with a set of widths around the kernels' step sizes
    # (16 and 32 pixels), and the same transposed.
    rng = np.random.default_rng(channels)
    shapes = {(n, s) for n in range(1, 71) for s in SIDES}
    shapes |= {(w, h) for h, w in shapes} | {(0, 5), (5, 0), (0, 0)}
    for i, (h, w) in enumerate(sorted(shapes)):
        check(sample(rng, (h, w, channels)), THRESHOLDS[i % len(THRESHOLDS)])


def test_a_real_picture():
    from PIL import Image

    source = os.path.join(os.environ["EDGEMAP_SOURCE_DIR"], "samples",
                          "shapes.bmp")
    picture = Image.open(source).convert("RGB")
    for threshold in THRESHOLDS:
        check(np.asarray(picture), threshold)
    check(np.asarray(picture.convert("RGBA")))
    # A Pillow image goes in as it is.
    np.testing.assert_array_equal(edgemap.detect(picture),
                                  edgemap.detect(np.asarray(picture)))


BASE = sample(np.random.default_rng(7), (60, 80, 3))
RGBA = sample(np.random.default_rng(8), (60, 80, 4))

# (view, whether the library cannot address it as it lies and a copy is due)
VIEWS = {
    "contiguous": (BASE, False),
    "rows flipped": (BASE[::-1], False),
    "every other row": (BASE[::2], False),
    "columns cropped": (BASE[:, 3:-2], False),
    "one row": (BASE[7:8], False),
    "one column, any step": (BASE[:, ::500], False),
    "four channels": (RGBA, False),
    "four channels flipped": (RGBA[::-3], False),
    "columns mirrored": (BASE[:, ::-1], True),
    "every other column": (BASE[:, ::2], True),
    "both flipped": (BASE[::-1, ::-1], True),
    "channels reversed": (BASE[..., ::-1], True),
    "transposed": (BASE.transpose(1, 0, 2), True),
    "fortran order": (np.asfortranarray(BASE), True),
    "three of four channels": (RGBA[..., :3], True),
    "rows broadcast": (np.broadcast_to(BASE[5], BASE.shape), True),
}


@pytest.mark.parametrize("name", VIEWS)
def test_any_memory_layout(name):
    view, copies = VIEWS[name]
    check(view)
    # The copy is the only large allocation there is; with out given,
    # an addressable view costs nothing.
    out = np.empty(view.shape, np.uint8)
    tracemalloc.start()
    edgemap.detect(view, out=out)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert (peak >= view[..., 0].size * 3) == copies, peak


def boundary_image():
    """A pixel whose responses are exactly 54 and 72, a magnitude of exactly
    90, with channel sums that the mean truncates (83 / 3 = 27)."""
    image = np.zeros((3, 3, 3), np.uint8)
    image[1, 2] = (27, 27, 29)  # gray 27: the column response 2 * 27
    image[2, 1] = (36, 35, 37)  # gray 36: the row response 2 * 36
    return image


@pytest.mark.parametrize(
    "threshold, centre_is_edge",
    [
        (90.0, True),
        (math.nextafter(90.0, math.inf), False),
        (math.nextafter(90.0, -math.inf), True),
        (math.nan, False),
        (math.inf, False),
        (-math.inf, True),
        (0.0, True),
        (-5.0, True),
        (np.float32(90.0), True),
        (90, True),
    ],
)
def test_thresholds(threshold, centre_is_edge):
    image = boundary_image()
    assert edgemap.mask(image, threshold)[1, 1] == centre_is_edge
    assert edgemap.detect(image, threshold)[1, 1, 0] == (
        0 if centre_is_edge else 255)
    check(image, float(threshold))
    check(sample(np.random.default_rng(3), (20, 30, 3)), float(threshold))


@pytest.mark.parametrize("function, dtype, shape", [
    (edgemap.detect, np.uint8, (60, 80, 3)),
    (edgemap.mask, np.bool_, (60, 80)),
])
def test_out_is_filled_and_returned(function, dtype, shape):
    want = function(BASE)
    for out in (np.empty(shape, dtype),
                np.empty((60, 160) + shape[2:], dtype)[:, ::2],  # a copy back
                np.empty((120,) + shape[1:], dtype)[::-2]):
        assert function(BASE, out=out) is out
        np.testing.assert_array_equal(out, want)


def test_fourth_channel_is_copied_and_threads_agree():
    image = sample(np.random.default_rng(5), (300, 200, 4))
    one = edgemap.detect(image, threads=1)
    np.testing.assert_array_equal(one[..., 3], image[..., 3])
    for threads in (0, 2, 7):
        np.testing.assert_array_equal(edgemap.detect(image, threads=threads),
                                      one)
        np.testing.assert_array_equal(
            edgemap.mask(image, threads=threads), one[..., 0] == 0)


READ_ONLY = BASE.copy()
READ_ONLY.flags.writeable = False
ERRORS = [
    # (call, exception, words the message must hold)
    (lambda: edgemap.detect(BASE.astype(np.float32)), TypeError,
     "expected a uint8 array, got float32"),
    (lambda: edgemap.mask(BASE.tolist()), TypeError,
     "expected a uint8 array, got int64"),
    (lambda: edgemap.detect(None), TypeError, "expected a uint8 array"),
    (lambda: edgemap.detect(BASE[..., 0]), ValueError,
     "expected shape (H, W, 3) or (H, W, 4), got (60, 80)"),
    (lambda: edgemap.detect(np.zeros((4, 4, 5), np.uint8)), ValueError,
     "got (4, 4, 5)"),
    (lambda: edgemap.detect(BASE, out=np.empty((60, 80, 3), np.int16)),
     TypeError, "out: expected a uint8 array, got int16"),
    (lambda: edgemap.mask(BASE, out=np.empty((60, 80), np.uint8)),
     TypeError, "out: expected a bool array, got uint8"),
    (lambda: edgemap.detect(BASE, out=[0]), TypeError,
     "out: expected a numpy array, got list"),
    (lambda: edgemap.detect(BASE, out=np.empty((60, 80, 4), np.uint8)),
     ValueError, "out: expected shape (60, 80, 3), got (60, 80, 4)"),
    (lambda: edgemap.mask(BASE, out=np.empty((80, 60), bool)), ValueError,
     "out: expected shape (60, 80), got (80, 60)"),
    (lambda: edgemap.detect(BASE, out=READ_ONLY), ValueError, "read-only"),
    (lambda: edgemap.detect(BASE, out=BASE), ValueError, "overlaps"),
    (lambda: edgemap.detect(BASE[::2], out=BASE[1::2]), ValueError,
     "overlaps"),
    (lambda: edgemap.mask(RGBA, out=RGBA[..., 3].view(bool)), ValueError,
     "overlaps"),
    (lambda: edgemap.detect(BASE, threads=-1), ValueError, "threads"),
    (lambda: edgemap.detect(BASE, "90"), TypeError,
     "detect(): incompatible function arguments"),
    (lambda: edgemap.mask(BASE, threads=1.5), TypeError,
     "'float' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("call, error, words", ERRORS,
                         ids=[f"{i}-{e.__name__}" for i, (_, e, _) in
                              enumerate(ERRORS)])
def test_argument_errors(call, error, words):
    with pytest.raises(error) as raised:
        call()
    assert words in str(raised.value)


def test_two_threads_work_inside_the_library_at_once():
    # Each thread fills a large out; the main thread looks at both while
    # they run. With the GIL held through a call, no Python code runs while
    # one is inside the library, let alone while both are: seeing both
    # outputs half written proves the calls overlapped.
    images = [sample(np.random.default_rng(i), (3000, 4000, 3))
              for i in range(2)]
    outs = [np.empty_like(image) for image in images]
    unwritten = 7  # never an output value

    def half_written(out):
        return (out[0, 0, 0] == unwritten) != (out[-1, -1, 0] == unwritten)

    for _ in range(50):
        for out in outs:
            out[0, 0, 0] = out[-1, -1, 0] = unwritten
        workers = [threading.Thread(target=edgemap.detect, args=(image,),
                                    kwargs={"out": out, "threads": 1})
                   for image, out in zip(images, outs)]
        for w in workers:
            w.start()
        both = False
        while not both and any(w.is_alive() for w in workers):
            both = all(half_written(out) for out in outs)
        for w in workers:
            w.join()
        if both:
            break
    assert both, "the two calls never ran at the same time"
    for image, out in zip(images, outs):
        np.testing.assert_array_equal(out, edgemap.detect(image))


@pytest.fixture(scope="module")
def large_bitmap(tmp_path_factory):
    """A 12-Mpixel image, its bitmap file and the file's bytes: tens of
    milliseconds of work for each call."""
    from PIL import Image

    image = sample(np.random.default_rng(9), (3000, 4000, 3))
    source = tmp_path_factory.mktemp("large") / "source.bmp"
    Image.fromarray(image).save(source)
    return image, source, source.read_bytes()


LONG_CALLS = {
    "detect": lambda image, source, data: edgemap.detect(image, threads=1),
    "convert": lambda image, source, data: edgemap.convert(
        source, source.with_name("target.bmp"), threads=1),
    "convert_bytes": lambda image, source, data: edgemap.convert_bytes(
        data, threads=1),
}


def python_ran_early_in(call):
    """Whether this thread ran Python from a tenth to four tenths of the
    way through call(), made on another thread meanwhile: it notes the
    time as often as it can."""
    span = []

    def timed():
        start = time.perf_counter()
        call()
        span.extend((start, time.perf_counter()))

    worker = threading.Thread(target=timed)
    ticks = []
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
    worker.join()
    start, end = span
    return any(0.1 < (t - start) / (end - start) < 0.4 for t in ticks)


@pytest.mark.parametrize("name", LONG_CALLS)
def test_python_runs_while_the_library_works(name, large_bitmap):
    # The library's work comes first in each call and takes half of it or
    # more (convert_bytes then copies its result into a bytes object,
    # holding the GIL). With the GIL held through that work, nothing runs
    # here until it ends. A short switch interval keeps this thread's turns
    # short; an unlucky schedule can starve it anyway, so the call gets a
    # few tries.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    try:
        ran = any(python_ran_early_in(lambda: LONG_CALLS[name](*large_bitmap))
                  for _ in range(10))
    finally:
        sys.setswitchinterval(interval)
    assert ran, f"no Python ran during ten {name} calls"


def test_import_stays_light():
    code = ("import sys, edgemap; print(' '.join(m for m in "
            "('scipy', 'cv2', 'skimage', 'PIL', 'pandas', 'dask') "
            "if m in sys.modules))")
    loaded = subprocess.run([sys.executable, "-c", code], check=True,
                            capture_output=True, text=True).stdout.split()
    assert loaded == []
