"""Edge maps of Dask arrays: images larger than one process's memory,
chunk by chunk, on any Dask scheduler.

    >>> import dask.array as da, edgemap.dask
    >>> image = da.zeros((40_000, 40_000, 3), "u1", chunks=(4000, 4000, 3))
    >>> edges = edgemap.dask.detect(image)      # lazy, nothing computed yet

detect(image) and mask(image) give, byte for byte, what edgemap.detect and
edgemap.mask give on the whole image computed in memory, for any chunking.

How: a pixel's result depends on its 3x3 neighbourhood, so each chunk is
extended by one pixel from each neighbouring chunk (Dask's map_overlap,
depth 1 on rows and columns), the library runs on the extended chunk, and
the ring that came from the neighbours is cut off again. Chunks at the
image's edge are not extended on that side: the library treats pixels
outside the image as grey 0 by itself, so no padding is needed there. The
channel axis is merged into one chunk first (a rechunk, only when it is
split).

Each chunk is one Dask task that runs in the compiled library with the GIL
released, on one thread: Dask's workers are the parallelism. An image that
is a single chunk has no such parallelism, so its one task lets the library
use every processor, as edgemap.detect does.

Memory: beyond the chunk itself (h x w x c bytes), a task holds the
extended copy of the chunk that map_overlap assembles, (h + 2) x (w + 2) x
c bytes, and the library's result for it, (h + 2) x (w + 2) x c bytes for
detect or (h + 2) x (w + 2) for mask; the result chunk handed on is a view
of the latter without its ring. So a task needs about three times its
chunk for detect, and 2 + 1/c times for mask, plus the one-pixel strips
taken from the neighbours.

Workers need edgemap installed (the same version as the client): the
tasks call edgemap._native by reference, not by value.
"""

import numbers
from typing import Tuple

import dask.array as da
import numpy as np

from . import _native

__all__ = ["detect", "mask"]

_MAX_DIMENSION = 2**32 - 1


def _check_image(image) -> da.Array:
    """The argument checks of edgemap.detect, with its exception types and
    messages, made on the graph's metadata: nothing is computed."""
    if not isinstance(image, da.Array):
        raise TypeError("image: expected a dask array, got "
                        f"{type(image).__name__}")
    if image.dtype != np.uint8:
        raise TypeError(f"image: expected a uint8 array, got {image.dtype}")
    if image.ndim != 3 or image.shape[2] not in (3, 4):
        raise ValueError("image: expected shape (H, W, 3) or (H, W, 4), got "
                         f"{image.shape}")
    if any(np.isnan(n) for n in image.shape[:2]):
        raise ValueError(f"image: expected known chunk sizes, got shape "
                         f"{image.shape} (see Array.compute_chunk_sizes)")
    if image.shape[0] > _MAX_DIMENSION or image.shape[1] > _MAX_DIMENSION:
        raise ValueError("image: expected under 2**32 rows and columns, got "
                         f"{image.shape}")
    return image


def _check_threshold(threshold) -> float:
    if not isinstance(threshold, numbers.Real):
        raise TypeError("threshold: expected a number, got "
                        f"{type(threshold).__name__}")
    return float(threshold)


def _edges_of_block(block: np.ndarray, threshold: float, as_mask: bool,
                    threads: int, ring: int, grid: Tuple[int, int],
                    block_id=None) -> np.ndarray:
    """Runs on a worker: the library on one extended chunk, then the ring
    from the neighbours cut off. A chunk on the image's edge has no ring on
    that side."""
    run = _native.mask if as_mask else _native.detect
    edges = run(block, threshold, threads=threads)
    row, column = block_id[0], block_id[1]
    top = ring if row > 0 else 0
    left = ring if column > 0 else 0
    bottom = edges.shape[0] - (ring if row < grid[0] - 1 else 0)
    right = edges.shape[1] - (ring if column < grid[1] - 1 else 0)
    return edges[top:bottom, left:right]


def _edges(image, threshold, as_mask: bool) -> da.Array:
    image = _check_image(image)
    threshold = _check_threshold(threshold)
    # One chunk across the channels, and no empty chunks on the rows and
    # columns: map_overlap would merge those itself, behind the output
    # chunks given here.
    rows = tuple(n for n in image.chunks[0] if n) or (0,)
    columns = tuple(n for n in image.chunks[1] if n) or (0,)
    chunks = (rows, columns, image.shape[2:])
    if image.chunks != chunks:
        image = image.rechunk(chunks)
    grid = (len(rows), len(columns))
    # An image with no pixels has no neighbours to share.
    ring = 0 if 0 in image.shape else 1
    # One thread per task when there are several: the scheduler runs tasks
    # side by side. A lone task may use the whole machine.
    threads = 1 if grid[0] * grid[1] > 1 else 0
    if as_mask:
        layout = dict(chunks=(rows, columns), drop_axis=2,
                      meta=np.empty((0, 0), np.bool_))
    else:
        layout = dict(chunks=chunks, meta=np.empty((0, 0, 0), np.uint8))
    return da.map_overlap(
        _edges_of_block, image,
        depth={0: ring, 1: ring, 2: 0}, boundary="none", trim=False,
        name="edgemap-mask" if as_mask else "edgemap-detect",
        threshold=threshold, as_mask=as_mask, threads=threads, ring=ring,
        grid=grid, **layout)


def detect(image: da.Array, threshold: float = 90.0) -> da.Array:
    """The edge map of a Dask image, lazily: a uint8 Dask array of the
    image's shape and chunks (the channel axis as one chunk), 0 on edges
    and 255 elsewhere in the first three channels, the fourth copied.

    image is a uint8 Dask array of shape (H, W, 3) or (H, W, 4), chunked
    any way. The result is, byte for byte, edgemap.detect(image.compute(),
    threshold), with pixels outside the image counted as grey 0 and no
    trace of the chunks' seams.

    Raises, when called and not when computed: TypeError for an image that
    is not a Dask array or not uint8, or a threshold that is not a number;
    ValueError for a shape other than (H, W, 3) or (H, W, 4) or chunk sizes
    Dask does not know yet.
    """
    return _edges(image, threshold, as_mask=False)


def mask(image: da.Array, threshold: float = 90.0) -> da.Array:
    """The edge map of a Dask image as a mask, lazily: a bool Dask array
    of shape (H, W) and the image's row and column chunks, True on edges;
    byte for byte edgemap.mask(image.compute(), threshold).

    image, threshold and the exceptions are as for detect.
    """
    return _edges(image, threshold, as_mask=True)
