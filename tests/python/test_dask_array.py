"""edgemap.dask against edgemap.detect and edgemap.mask on the computed
image: chunkings that put seams everywhere, on the threaded scheduler and
on two worker processes; argument errors before anything is computed; and
examples/dask_giant_image.py on a Zarr array."""
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import edgemap

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
import edgemap.dask as edask  # noqa: E402

EXAMPLE = (pathlib.Path(os.environ["EDGEMAP_SOURCE_DIR"]) / "examples" /
           "dask_giant_image.py")


def sample(shape, start=0):
    """Low noise with bright spots, so that both sides of every seam hold
    edges and non-edges at each threshold used here."""
    rng = np.random.default_rng(start)
    image = rng.integers(0, 40, shape, dtype=np.uint8)
    spots = rng.random(shape[:2] + (1,)) < 0.15
    return image + (spots * rng.integers(60, 216, shape)).astype(np.uint8)


# (shape, chunks, threshold): every row or column a seam, the channel axis
# split, uneven last chunks, irregular chunks, one chunk, empty images, and
# many chunks at once on the threads (each thread assembles its chunks in
# a buffer of its own).
CASES = [
    ((37, 29, 3), -1, 90.0),
    ((37, 29, 4), -1, 200.0),
    ((37, 29, 3), (1, -1, -1), 90.0),
    ((37, 29, 4), (-1, 1, -1), 45.0),
    ((9, 7, 3), (1, 1, 1), 90.0),
    ((37, 29, 4), (8, 6, 3), 90.0),
    ((37, 29, 4), (10, 10, 1), 200.0),
    ((37, 29, 3), ((5, 1, 20, 11), (3, 26), (2, 1)), 0.5),
    ((64, 70, 4), (32, 35, 4), 90.0),
    ((600, 500, 3), (50, 40, 3), 90.0),
    ((1, 40, 3), (1, 7, 3), 45.0),
    ((7, 7, 3), ((3, 0, 4), (2, 0, 5), (3,)), 90.0),
    ((0, 5, 3), (1, 2, 3), 90.0),
    ((6, 0, 4), (2, 1, 1), 90.0),
]


def expected_chunks(image, as_mask):
    """The image's, with one chunk across the channels and the empty chunks
    left out (an empty image keeps one)."""
    rows, columns = (tuple(n for n in c if n) or (0,) for c in image.chunks[:2])
    return (rows, columns) if as_mask else (rows, columns, (image.shape[2],))


@pytest.mark.parametrize("shape,chunks,threshold", CASES)
def test_same_bytes_as_the_whole_image(shape, chunks, threshold):
    pixels = sample(shape, start=sum(shape))
    image = da.from_array(pixels, chunks=chunks)
    for as_mask, whole, lazy in ((False, edgemap.detect, edask.detect),
                                 (True, edgemap.mask, edask.mask)):
        result = lazy(image, threshold)
        assert result.chunks == expected_chunks(image, as_mask)
        got = result.compute(scheduler="threads")
        want = whole(pixels, threshold)
        assert got.dtype == want.dtype and got.shape == want.shape
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("chunks", [-1, (10, 10, 3)])
def test_two_thresholds_in_one_compute(chunks):
    # Each result its own keys: a graph key shared by both would give both
    # the result computed first.
    pixels = sample((37, 29, 3), start=5)
    image = da.from_array(pixels, chunks=chunks)
    thresholds = (45.0, 200.0)
    got = dask.compute(*[lazy(image, t) for lazy in (edask.detect, edask.mask)
                         for t in thresholds], scheduler="threads")
    want = [whole(pixels, t) for whole in (edgemap.detect, edgemap.mask)
            for t in thresholds]
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g, w)


@pytest.fixture(scope="module")
def cluster_client():
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                  processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        yield client


@pytest.mark.parametrize("shape,chunks", [((61, 45, 4), (16, 12, 2)),
                                          ((50, 33, 3), (7, -1, 3))])
def test_same_bytes_on_two_worker_processes(cluster_client, shape, chunks):
    pixels = sample(shape, start=7)
    image = da.from_array(pixels, chunks=chunks)
    edges, mask = cluster_client.compute([edask.detect(image, 60.0),
                                          edask.mask(image, 60.0)], sync=True)
    np.testing.assert_array_equal(edges, edgemap.detect(pixels, 60.0))
    np.testing.assert_array_equal(mask, edgemap.mask(pixels, 60.0))


def never_computed(shape, dtype):
    """A Dask array that fails the test if any of it is computed."""
    def compute():
        raise AssertionError("the image was computed")
    return da.from_delayed(dask.delayed(compute)(), shape, dtype)


@pytest.mark.parametrize("shape,dtype", [
    ((5, 5, 3), np.float64),
    ((5, 5, 3), np.int8),
    ((5, 5, 3), np.uint16),
    ((5, 5), np.uint8),
    ((5, 5, 2), np.uint8),
    ((5, 5, 5), np.uint8),
    ((5, 5, 3, 1), np.uint8),
])
@pytest.mark.parametrize("name", ["detect", "mask"])
def test_argument_errors_as_numpy_raises_them_before_compute(shape, dtype,
                                                             name):
    with pytest.raises((TypeError, ValueError)) as numpy_error:
        getattr(edgemap, name)(np.zeros(shape, dtype))
    with pytest.raises(numpy_error.type) as dask_error:
        getattr(edask, name)(never_computed(shape, dtype))
    assert str(dask_error.value) == str(numpy_error.value)


@pytest.mark.parametrize("image,threshold,error,message", [
    (np.zeros((5, 5, 3), np.uint8), 90.0, TypeError,
     "image: expected a dask array, got ndarray"),
    (None, "90", TypeError, "threshold: expected a number, got str"),
    (None, None, TypeError, "threshold: expected a number, got NoneType"),
])
def test_what_only_the_dask_functions_refuse(image, threshold, error,
                                             message):
    if image is None:
        image = never_computed((5, 5, 3), np.uint8)
    with pytest.raises(error, match=message):
        edask.detect(image, threshold)


def test_unknown_chunk_sizes_are_refused_when_called():
    pixels = da.from_array(sample((10, 10, 3)), chunks=5)
    image = pixels[pixels[:, 0, 0] < 255]  # rows unknown until computed
    with pytest.raises(ValueError, match="known chunk sizes"):
        edask.mask(image)


def test_the_example_on_a_zarr_array(tmp_path):
    zarr = pytest.importorskip("zarr")
    pixels = sample((203, 150, 3), start=3)
    zarr.save_array(str(tmp_path / "in.zarr"), pixels, chunks=(50, 64, 3))
    target = tmp_path / "out.zarr"
    run = subprocess.run([sys.executable, str(EXAMPLE),
                          str(tmp_path / "in.zarr"), str(target),
                          "--workers", "2", "--threshold", "70"],
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    written = zarr.open_array(str(target), mode="r")
    assert written.chunks == (50, 64, 3)
    np.testing.assert_array_equal(written[...],
                                  edgemap.detect(pixels, 70.0))
