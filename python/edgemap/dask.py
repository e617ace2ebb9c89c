"""Edge maps of Dask arrays: images larger than one process's memory,
chunk by chunk, on any Dask scheduler.

    >>> import dask.array as da, numpy as np, edgemap.dask
    >>> image = da.zeros((40_000, 40_000, 3), dtype=np.uint8,
    ...                  chunks=(4000, 4000, 3))
    >>> edges = edgemap.dask.detect(image)      # lazy, nothing computed yet

detect(image) and mask(image) give, byte for byte, what edgemap.detect and
edgemap.mask give on the whole image computed in memory, for any chunking.

How: a pixel's result depends on its 3x3 neighbourhood, so each chunk is
extended by one pixel taken from each of its eight neighbours, the library
runs on the extended chunk, and the extension is cut off the result. Two
tasks per chunk: one takes its first and last rows and columns (its rims),
the other assembles the extended chunk from the chunk and its neighbours'
rims and runs the library. Dask's map_overlap builds the same extension
with a task per strip taken from a neighbour, over five times as many
tasks (676 against 128 for 8 x 8 chunks), and at this library's speed the
scheduler's time per task is what counts. Chunks at the image's edge are
not extended on that side: the library treats pixels outside the image as
gray 0 by itself, so no padding is needed there, and an image of one chunk
goes to the library as it is, uncopied. The channel axis is merged into
one chunk first (a rechunk, only when it is split).

Each chunk is one Dask task that runs in the compiled library with the GIL
released, on one thread: Dask's workers are the parallelism. An image that
is a single chunk has no such parallelism, so its one task lets the library
use every processor, as edgemap.detect does.

Memory: beyond the chunk itself (h x w x c bytes), a task holds the
extended copy of the chunk, (h + 2) x (w + 2) x c bytes, and the library's
result for it, (h + 2) x (w + 2) x c bytes for detect or (h + 2) x (w + 2)
for mask, plus the rims of its neighbours, 2 (h + w) x c bytes each. The
result chunk handed on is a view of the library's result without the
extension. So a chunk's task needs about three times the chunk's size for
detect and 2 + 1/c times for mask; a single-chunk image needs only the
result beside it. Each thread that has run a task keeps the buffer of its
extended copies, for the next task, when it is at most 64 MiB.

Workers need edgemap installed (the same version as the client): the
tasks call edgemap._native by reference, not by value.
"""

import numbers
import threading
from typing import Callable, Dict, List, Optional, Tuple

import dask.array as da
import numpy as np
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

from . import _native

__all__ = ["detect", "mask"]

_MAX_DIMENSION = 2**32 - 1

# A chunk's first row, last row, first column and last column.
Rims = Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]


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


# Each thread keeps the buffer it assembled its last extended chunk in, up
# to this size, and assembles the next one there: fresh memory costs a page
# fault per page on first touch, and Dask's workers hand freed memory back
# to the system at once (MALLOC_TRIM_THRESHOLD_), so a new buffer per chunk
# costs as much as the library's own work.
_KEPT_BUFFER_BYTES = 64 << 20
_kept = threading.local()


def _buffer(shape: Tuple[int, int, int]) -> np.ndarray:
    size = shape[0] * shape[1] * shape[2]
    if size > _KEPT_BUFFER_BYTES:
        return np.empty(shape, np.uint8)
    buffer = getattr(_kept, "buffer", None)
    if buffer is None or buffer.size < size:
        buffer = _kept.buffer = np.empty(size, np.uint8)
    return buffer[:size].reshape(shape)


def _rims(chunk: np.ndarray) -> Rims:
    """A chunk's first and last rows and columns: all that its neighbours
    need of it. Copies, so that a neighbour on another worker is sent only
    these pixels."""
    return (chunk[0].copy(), chunk[-1].copy(), chunk[:, 0].copy(),
            chunk[:, -1].copy())


def _edges_of_chunk(chunk: np.ndarray, around: List[Optional[Rims]],
                    threshold: float, as_mask: bool,
                    threads: int) -> np.ndarray:
    """Runs on a worker: the chunk extended by one pixel from each
    neighbour (around: the rims of the eight neighbours, above left to
    below right, None past the image's edge), the library on that, and the
    extension cut off the result. With no neighbours the chunk goes to the
    library as it is."""
    # Two signatures that differ in out's dtype: one type that takes both.
    run: Callable[..., np.ndarray] = _native.detect
    if as_mask:
        run = _native.mask
    if all(rims is None for rims in around):
        return run(chunk, threshold, threads=threads)
    above_left, above, above_right, left, right, below_left, below, \
        below_right = around
    h, w, c = chunk.shape
    top, bottom = int(above is not None), int(below is not None)
    first, last = int(left is not None), int(right is not None)
    extended = _buffer((top + h + bottom, first + w + last, c))
    extended[top:top + h, first:first + w] = chunk
    if above is not None:
        extended[0, first:first + w] = above[1]
    if below is not None:
        extended[-1, first:first + w] = below[0]
    if left is not None:
        extended[top:top + h, 0] = left[3]
    if right is not None:
        extended[top:top + h, -1] = right[2]
    # A corner neighbour is there exactly when both its sides are.
    if above_left is not None:
        extended[0, 0] = above_left[1][-1]
    if above_right is not None:
        extended[0, -1] = above_right[1][0]
    if below_left is not None:
        extended[-1, 0] = below_left[0][-1]
    if below_right is not None:
        extended[-1, -1] = below_right[0][0]
    edges = run(extended, threshold, threads=threads)
    return edges[top:top + h, first:first + w]


_AROUND = [(-1, -1), (-1, 0), (-1, 1), (0, -1), (0, 1), (1, -1), (1, 0),
           (1, 1)]


def _edges(image, threshold, as_mask: bool) -> da.Array:
    image = _check_image(image)
    threshold = _check_threshold(threshold)
    # One chunk across the channels, and no empty chunks on the rows and
    # columns (an empty chunk has no rims to give).
    rows = tuple(n for n in image.chunks[0] if n) or (0,)
    columns = tuple(n for n in image.chunks[1] if n) or (0,)
    chunks = (rows, columns, image.shape[2:])
    if image.chunks != chunks:
        image = image.rechunk(chunks)
    grid = (len(rows), len(columns))
    # An image with no pixels has nothing to share between chunks.
    shared = 0 not in image.shape and grid != (1, 1)
    # One thread per task when there are several: the scheduler runs tasks
    # side by side. A lone task may use the whole machine.
    threads = 1 if grid[0] * grid[1] > 1 else 0

    token = tokenize(image, threshold, as_mask)
    name = f"edgemap-{'mask' if as_mask else 'detect'}-{token}"
    rims = f"edgemap-rims-{token}"
    graph: Dict[tuple, tuple] = {}  # task keys of two shapes
    for i in range(grid[0]):
        for j in range(grid[1]):
            if shared:
                graph[(rims, i, j)] = (_rims, (image.name, i, j, 0))
            around = [(rims, i + di, j + dj)
                      if shared and 0 <= i + di < grid[0] and
                      0 <= j + dj < grid[1] else None
                      for di, dj in _AROUND]
            key = (name, i, j) if as_mask else (name, i, j, 0)
            graph[key] = (_edges_of_chunk, (image.name, i, j, 0), around,
                          threshold, as_mask, threads)
    layer = HighLevelGraph.from_collections(name, graph, dependencies=[image])
    if as_mask:
        return da.Array(layer, name, (rows, columns),
                        meta=np.empty((0, 0), np.bool_))
    return da.Array(layer, name, chunks, meta=np.empty((0, 0, 0), np.uint8))


def detect(
    image: da.Array, threshold: float = _native.DEFAULT_THRESHOLD
) -> da.Array:
    """The edge map of a Dask image, lazily: a uint8 Dask array of the
    image's shape and chunks (the channel axis as one chunk), 0 on edges
    and 255 elsewhere in the first three channels, the fourth copied.

    image is a uint8 Dask array of shape (H, W, 3) or (H, W, 4), chunked
    any way. The result is, byte for byte, edgemap.detect(image.compute(),
    threshold), with pixels outside the image counted as gray 0 and no
    trace of the chunks' seams.

    Raises, when called and not when computed: TypeError for an image that
    is not a Dask array or not uint8, or a threshold that is not a number;
    ValueError for a shape other than (H, W, 3) or (H, W, 4) or chunk sizes
    Dask does not know yet.
    """
    return _edges(image, threshold, as_mask=False)


def mask(
    image: da.Array, threshold: float = _native.DEFAULT_THRESHOLD
) -> da.Array:
    """The edge map of a Dask image as a mask, lazily: a bool Dask array
    of shape (H, W) and the image's row and column chunks, True on edges;
    byte for byte edgemap.mask(image.compute(), threshold).

    image, threshold and the exceptions are as for detect.
    """
    return _edges(image, threshold, as_mask=True)
