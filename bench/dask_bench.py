"""edgemap.dask on a large chunked image, side by side with what a Dask
user writes without it: map_overlap with SciPy's ndimage.sobel on the gray
image, zero border, threshold on the magnitude (composed to give the
library's bytes, which is checked before anything is timed).

    /usr/bin/python3 bench/dask_bench.py [--side 16000] [--chunk 2000]
                                         [--repeats 3] [--single 4000 16000]

Run from a build tree's package (PYTHONPATH=build/python). Prints:
- the image's edge map on a LocalCluster of 2 worker processes (one thread
  each) and on one of 1 worker beside it, the two taking turns, for
  edgemap.dask.mask, edgemap.dask.detect, edgemap.mask through map_overlap
  (what a user could write without edgemap.dask) and the SciPy
  composition; and the ratios: SciPy against the others, 1 worker against
  2;
- single-chunk images: edgemap.dask.detect(...).compute() against
  edgemap.detect on the computed array, in this process;
- a memory copy's speed first, to tell a quiet machine from a busy one.
Times are medians of --repeats, the candidates taking turns. The image is
made on the workers and kept there; each timing persists the result on
the workers and waits for it, so no result travels to this process.
"""
import argparse
import contextlib
import platform
import statistics
import subprocess
import time
from typing import Callable, Dict, List

import dask.array as da
import numpy as np
from dask.distributed import Client, LocalCluster, wait
from scipy import ndimage

import edgemap
import edgemap.dask


def synthetic(block_info=None) -> np.ndarray:
    """A chunk of low noise with bright spots, drawn from its place: edges
    and flat areas everywhere, as in the tests."""
    info = block_info[None]
    shape = info["chunk-shape"]
    start = [loc[0] for loc in info["array-location"]]
    rng = np.random.default_rng(start)
    image = rng.integers(0, 40, shape, dtype=np.uint8)
    spots = rng.random(shape[:2] + (1,)) < 0.15
    image += (spots * rng.integers(60, 216, shape, dtype=np.uint8)).astype(
        np.uint8)
    return image


def image_on_cluster(side: int, chunk: int) -> da.Array:
    chunks = (da.core.normalize_chunks(chunk, (side,))[0],) * 2 + ((3,),)
    return da.map_blocks(synthetic, dtype=np.uint8, chunks=chunks)


def scipy_block(gray: np.ndarray, threshold: float) -> np.ndarray:
    """One gray chunk with its halo: the Sobel responses in integers (exact),
    then sqrt(gx^2 + gy^2) >= threshold in doubles, as the library."""
    gx = ndimage.sobel(gray, axis=1, output=np.int32, mode="constant")
    gy = ndimage.sobel(gray, axis=0, output=np.int32, mode="constant")
    return np.sqrt(gx * gx + gy * gy) >= threshold


def scipy_mask(image: da.Array, threshold: float = 90.0) -> da.Array:
    """What a Dask user writes today: gray = truncated mean of the first
    three channels, map_overlap with a zero ring, SciPy's Sobel."""
    gray = image[..., :3].sum(axis=2, dtype=np.int32) // 3
    return gray.map_overlap(scipy_block, depth=1, boundary=0, dtype=bool,
                            threshold=threshold)


def edgemap_block(block: np.ndarray, threshold: float) -> np.ndarray:
    return edgemap.mask(block, threshold, threads=1)


def map_overlap_mask(image: da.Array, threshold: float = 90.0) -> da.Array:
    """edgemap.mask through map_overlap, as a user could write it without
    edgemap.dask: a zero ring all round, Dask's strips and trim."""
    return image.map_overlap(edgemap_block, depth={0: 1, 1: 1, 2: 0},
                             boundary=0, drop_axis=2, dtype=bool,
                             threshold=threshold)


def check_small() -> None:
    """The SciPy composition gives the library's bytes on a small image,
    against edgemap.mask in memory."""
    rng = np.random.default_rng(1)
    small = rng.integers(0, 256, (1500, 1300, 3), dtype=np.uint8)
    small[rng.random(small.shape[:2]) < 0.5] //= 8
    for threshold in (90.0, 45.0, 300.0):
        want = edgemap.mask(small, threshold)
        for lazy in (scipy_mask, map_overlap_mask):
            got = lazy(da.from_array(small, chunks=(400, 350, 3)),
                       threshold).compute(scheduler="threads")
            assert np.array_equal(got, want), (lazy.__name__, threshold)


def check_large(client: Client, image: da.Array) -> None:
    """... and on the benchmark's image, against edgemap.dask.mask, on the
    cluster."""
    differ = (edgemap.dask.mask(image) != scipy_mask(image)).any()
    assert not client.compute(differ, sync=True), "SciPy differs"
    print("the SciPy composition gives edgemap's bytes")


def time_on_clusters(clients: Dict[int, Client], repeats: int,
                     scipy_on_one: bool) -> Dict[int, Dict[str, float]]:
    """Median seconds, per cluster, to compute each candidate's result and
    hold it on the workers. The clusters and candidates take turns, so a
    change in the machine's load falls on all of them alike."""
    images = {}
    for workers, client in clients.items():
        images[workers] = client.persist(image_on_cluster(SIDE, CHUNK))
        wait(images[workers])
    check_large(clients[2], images[2])
    candidates = {
        "edgemap.dask.mask": edgemap.dask.mask,
        "edgemap.dask.detect": edgemap.dask.detect,
        "map_overlap + edgemap": map_overlap_mask,
        "map_overlap + scipy": scipy_mask,
    }
    seconds: Dict[int, Dict[str, List[float]]] = {
        workers: {name: [] for name in candidates} for workers in clients}
    for _ in range(repeats):
        for workers, client in clients.items():
            for name, lazy in candidates.items():
                if workers == 1 and name.endswith("scipy") and not scipy_on_one:
                    continue
                result = lazy(images[workers])
                start = time.perf_counter()
                held = client.persist(result)
                wait(held)
                seconds[workers][name].append(time.perf_counter() - start)
                del held
                client.run(lambda: None)  # the release reached the workers
    return {workers: {name: statistics.median(s) for name, s in by.items() if s}
            for workers, by in seconds.items()}


def single_chunk(side: int, repeats: int) -> float:
    """edgemap.dask.detect(...).compute() over edgemap.detect, one chunk."""
    pixels = synthetic({None: {"chunk-shape": (side, side, 3),
                               "array-location": [(0, side), (0, side),
                                                  (0, 3)]}})
    image = da.from_array(pixels, chunks=-1)
    seconds: Dict[str, List[float]] = {"numpy": [], "dask": []}
    for _ in range(repeats):
        start = time.perf_counter()
        edgemap.detect(pixels)
        seconds["numpy"].append(time.perf_counter() - start)
        start = time.perf_counter()
        edgemap.dask.detect(image).compute()
        seconds["dask"].append(time.perf_counter() - start)
    numpy_s = statistics.median(seconds["numpy"])
    dask_s = statistics.median(seconds["dask"])
    print(f"single chunk {side}x{side}x3: edgemap.detect {numpy_s * 1e3:.1f} "
          f"ms, edgemap.dask.detect().compute() {dask_s * 1e3:.1f} ms, "
          f"ratio {dask_s / numpy_s:.3f}")
    return dask_s / numpy_s


def copy_speed() -> float:
    a = np.ones(512 << 20, np.uint8)
    b = np.empty_like(a)
    best = min(_timed(lambda: np.copyto(b, a)) for _ in range(5))
    return a.nbytes / best / 1e9


def _timed(f: Callable[[], object]) -> float:
    start = time.perf_counter()
    f()
    return time.perf_counter() - start


def processor() -> str:
    for line in subprocess.run(["lscpu"], capture_output=True,
                               text=True).stdout.splitlines():
        if line.startswith("Model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor()


SIDE, CHUNK = 16000, 2000


def main() -> None:
    global SIDE, CHUNK
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--side", type=int, default=16000)
    parser.add_argument("--chunk", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--single", type=int, nargs="*", default=[4000, 16000])
    parser.add_argument("--no-scipy-on-one", action="store_true",
                        help="leave the SciPy composition out on 1 worker")
    args = parser.parse_args()
    SIDE, CHUNK = args.side, args.chunk

    print(f"{processor()}, edgemap {edgemap.__version__}, "
          f"memory copy {copy_speed():.1f} GB/s")
    check_small()
    print(f"image {SIDE}x{SIDE}x3 in {CHUNK}x{CHUNK} chunks, medians of "
          f"{args.repeats}")
    with contextlib.ExitStack() as stack:
        clients = {}
        for workers in (2, 1):
            cluster = stack.enter_context(LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True,
                dashboard_address=None))
            clients[workers] = stack.enter_context(Client(cluster))
        times = time_on_clusters(clients, args.repeats,
                                 not args.no_scipy_on_one)
    for workers, by in times.items():
        for name, t in by.items():
            print(f"{workers} worker(s): {name:22} {t:8.3f} s")
    two, one = times[2], times[1]
    scipy_s = two["map_overlap + scipy"]
    for name in list(two)[:3]:
        print(f"2 workers: scipy / {name}: {scipy_s / two[name]:.1f}x")
    for name in one:
        print(f"1 worker / 2 workers, {name}: {one[name] / two[name]:.2f}x")
    for side in args.single:
        single_chunk(side, max(args.repeats, 5))


if __name__ == "__main__":
    main()
