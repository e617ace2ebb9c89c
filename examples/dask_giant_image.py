"""Writes the edge map of an image stored as a Zarr array into another
Zarr array, chunk by chunk across a Dask cluster: no process ever holds the
whole image.

    dask_giant_image.py SOURCE.zarr TARGET.zarr [--scheduler ADDRESS]
                        [--workers N] [--threshold T] [--mask]

SOURCE.zarr holds a uint8 array of shape (H, W, 3) or (H, W, 4). TARGET.zarr
is created (replaced if it exists) with the same shape and chunks (one
chunk across the channels), or with --mask as a bool (H, W) array, True on
edges. Each worker reads the chunks it needs from SOURCE and writes its
result's chunks to TARGET itself; only task states pass through this
program.

Without --scheduler it starts a cluster of N worker processes on this
machine. With one (tcp://host:8786) it runs on that cluster, whose workers
must see both arrays at the same paths (a shared file system) and import
the same edgemap as this program: install the wheel built from this
repository on every worker (pip install edgemap-*.whl into the workers'
environment, or bake it into their container image). The program checks
this before it starts and names the workers that lack it.
"""
import argparse
import contextlib
import sys
from typing import List, Optional

import dask.array as da
import zarr
from dask.distributed import Client, LocalCluster

import edgemap
import edgemap.dask


def worker_edgemap_version() -> str:
    import edgemap as on_worker

    return on_worker.__version__


def check_workers(client: Client) -> List[str]:
    """The workers whose edgemap is missing or another version, each with
    what it has."""
    found = client.run(worker_edgemap_version, on_error="return")
    return [f"{worker}: {version!r}" for worker, version in sorted(found.items())
            if version != edgemap.__version__]


def edge_map(source: str, target: str, threshold: float = 90.0,
             as_mask: bool = False) -> None:
    """Computes on the current Dask client (or scheduler) and writes the
    result to target, chunk by chunk."""
    image = da.from_zarr(source)
    run = edgemap.dask.mask if as_mask else edgemap.dask.detect
    edges = run(image, threshold)
    # Each task writes its own chunk: the result's chunks are the source's
    # (the channel axis in one), so no two tasks share a Zarr chunk.
    da.to_zarr(edges, target, overwrite=True)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source")
    parser.add_argument("target")
    parser.add_argument("--scheduler", help="a running cluster's address")
    parser.add_argument("--workers", type=int, default=2,
                        help="local worker processes (without --scheduler)")
    parser.add_argument("--threshold", type=float, default=90.0)
    parser.add_argument("--mask", action="store_true",
                        help="write a bool (H, W) mask instead")
    args = parser.parse_args(argv)

    shape = zarr.open_array(args.source, mode="r").shape
    with contextlib.ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(Client(args.scheduler))
            lacking = check_workers(client)
            if lacking:
                print("these workers lack edgemap " + edgemap.__version__ +
                      ":\n  " + "\n  ".join(lacking), file=sys.stderr)
                return 1
        else:
            cluster = stack.enter_context(
                LocalCluster(n_workers=args.workers, threads_per_worker=1,
                             processes=True, dashboard_address=None))
            client = stack.enter_context(Client(cluster))
        edge_map(args.source, args.target, args.threshold, args.mask)
    print(f"edge map of {args.source} {shape} written to {args.target}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
