"""Converts every bitmap (*.bmp) of a folder into another folder across a
Dask cluster: one task per file, edgemap.convert on the workers.

    dask_folder.py SOURCE_DIR TARGET_DIR [--scheduler ADDRESS]
                   [--workers N] [--threshold T]

Without --scheduler it starts a cluster of N worker processes on this
machine; with one (tcp://host:8786) it runs on that cluster, whose workers
must have edgemap installed and see both folders at the same paths (a
shared file system). A file that fails is reported and the others go on:
the last lines list every failure, and the exit status is 1 if any.
"""
import argparse
import contextlib
import os
import sys
from typing import List, Optional, Tuple

from dask.distributed import Client, LocalCluster, as_completed


def convert_one(source: str, target: str, threshold: float) -> str:
    """Runs on a worker. One thread per task: the cluster's workers are
    the parallelism."""
    import edgemap

    edgemap.convert(source, target, threshold, threads=1)
    return target


def bitmaps_in(folder: str) -> List[str]:
    return sorted(
        name
        for name in os.listdir(folder)
        if name.lower().endswith(".bmp")
        and os.path.isfile(os.path.join(folder, name))
    )


def convert_folder(
    client: Client, source_dir: str, target_dir: str, threshold: float = 90.0
) -> Tuple[List[str], List[Tuple[str, str]]]:
    """Converts every bitmap of source_dir into target_dir (created if
    missing). Returns the names converted and (name, error) for each
    failure, both sorted by name."""
    os.makedirs(target_dir, exist_ok=True)
    names = bitmaps_in(source_dir)
    futures = {
        client.submit(
            convert_one,
            os.path.abspath(os.path.join(source_dir, name)),
            os.path.abspath(os.path.join(target_dir, name)),
            threshold,
            key=f"edgemap-{i}-{name}",
            pure=False,
        ): name
        for i, name in enumerate(names)
    }
    converted, failed = [], []
    for future in as_completed(futures):
        name = futures[future]
        if future.status == "finished":
            converted.append(name)
        else:
            # The worker's exception, or the cluster's (a worker lost).
            error = future.exception()
            failed.append((name, f"{type(error).__name__}: {error}"))
        future.release()
    return sorted(converted), sorted(failed)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source_dir")
    parser.add_argument("target_dir")
    parser.add_argument("--scheduler", help="a running cluster's address")
    parser.add_argument("--workers", type=int, default=2,
                        help="local worker processes (without --scheduler)")
    parser.add_argument("--threshold", type=float, default=90.0)
    args = parser.parse_args(argv)

    with contextlib.ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(Client(args.scheduler))
        else:
            cluster = stack.enter_context(
                LocalCluster(n_workers=args.workers, threads_per_worker=1,
                             processes=True, dashboard_address=None))
            client = stack.enter_context(Client(cluster))
        converted, failed = convert_folder(client, args.source_dir,
                                           args.target_dir, args.threshold)
    total = len(converted) + len(failed)
    print(f"converted {len(converted)} of {total} bitmaps into "
          f"{args.target_dir}")
    for name, error in failed:
        print(f"failed: {name}: {error}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
