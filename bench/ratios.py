#!/usr/bin/env python3
"""Ratios from runs of edgemap_bench, side by side per image size.

  for i in 1 2 3; do
    edgemap_bench --benchmark_repetitions=3 \\
      --benchmark_enable_random_interleaving=true \\
      --benchmark_report_aggregates_only=true --benchmark_out=run$i.json
  done
  bench/ratios.py run1.json run2.json run3.json

Within a run, each benchmark's rate is the median of its repetitions when
there are any. Ratios are taken within one run, then each is given as the
median over the runs with its range: "x ref" and "x opencv" are speed-ups
(pixels per second over theirs; opencv is the fastest of the exact OpenCV
compositions at that size in that run), "/ memcpy" is the time taken over
memcpy's time for the same bytes.

A run whose memcpy is far below this machine's usual speed, or whose
repetitions of one benchmark differ widely, was disturbed (another program
took the memory bandwidth or the processor); such runs are named on
standard error, and should be repeated.
"""
import argparse
import json
import re
import statistics
import sys

# memcpy of a 1920 x 1080 24-bit image on the machine the README's numbers
# come from, in pixels per second, and how far below it a run may fall.
USUAL_MEMCPY = 16e9
USUAL_SIZE = "1920x1080"
DISTURBED_BELOW = 0.75
# Repetitions of one benchmark that differ by more than this (their
# coefficient of variation) were disturbed too.
UNSTEADY_CV = 0.10

# name/w:WIDTH/h:HEIGHT, the kernel benchmarks' names.
KERNEL_RUN = re.compile(r"^(.+)/w:(\d+)/h:(\d+)$")


def load(path):
    with open(path) as f:
        return json.load(f)["benchmarks"]


def rates(path):
    """{(size, name): pixels per second} of one benchmark JSON file."""
    runs = load(path)
    medians = [r for r in runs if r.get("aggregate_name") == "median"]
    rows = medians or [r for r in runs if r.get("run_type") == "iteration"]
    rate = {}
    for r in rows:
        m = KERNEL_RUN.match(r["run_name"])
        if r.get("error_occurred") or not m:
            continue
        rate[(f"{m.group(2)}x{m.group(3)}", m.group(1))] = r["items_per_second"]
    return rate


def unsteady(path):
    """The kernel benchmarks whose repetitions varied by more than
    UNSTEADY_CV, with that variation."""
    return [(r["run_name"], r["items_per_second"]) for r in load(path)
            if r.get("aggregate_name") == "cv"
            and KERNEL_RUN.match(r["run_name"])
            and r["items_per_second"] > UNSTEADY_CV]


def ratios(rate):
    """{(size, name): (rate, x ref, x opencv, / memcpy)} of one run; None
    where a baseline is missing."""
    out = {}
    for (size, name), r in rate.items():
        ref = rate.get((size, "detect_edges/reference"))
        cv = max((v for (s, n), v in rate.items()
                  if s == size and n.startswith("opencv")), default=None)
        copy = rate.get((size, "memcpy"))
        out[(size, name)] = (r, r / ref if ref else None,
                             r / cv if cv else None,
                             copy / r if copy else None)
    return out


def summary(paths, usual=USUAL_MEMCPY):
    """{(size, name): [(median, low, high) or None per column]} over the
    runs, and the runs that look disturbed, as (path, memcpy rate)."""
    runs = [rates(p) for p in paths]
    disturbed = [(p, r[(USUAL_SIZE, "memcpy")]) for p, r in zip(paths, runs)
                 if (USUAL_SIZE, "memcpy") in r
                 and r[(USUAL_SIZE, "memcpy")] < DISTURBED_BELOW * usual]
    per_run = [ratios(r) for r in runs]
    keys = sorted({k for r in per_run for k in r},
                  key=lambda k: (int(k[0].split("x")[0]), k[1]))
    table = {}
    for key in keys:
        columns = []
        for c in range(4):
            values = [r[key][c] for r in per_run
                      if key in r and r[key][c] is not None]
            columns.append((statistics.median(values), min(values),
                            max(values)) if values else None)
        table[key] = columns
    return table, disturbed


def cell(value, scale, digits, width, ranged):
    if value is None:
        return f"{'-':>{width}}"
    median, low, high = (v * scale for v in value)
    text = f"{median:.{digits}f}"
    if ranged:
        text += f" ({low:.{digits}f}-{high:.{digits}f})"
    return f"{text:>{width}}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("runs", nargs="+", help="benchmark JSON files")
    parser.add_argument("--usual-memcpy", type=float, default=USUAL_MEMCPY / 1e9,
                        help="this machine's usual memcpy speed at "
                        f"{USUAL_SIZE}, Gpixel/s (default %(default)s)")
    args = parser.parse_args()
    table, disturbed = summary(args.runs, args.usual_memcpy * 1e9)
    for path, copy in disturbed:
        print(f"warning: {path}: memcpy at {USUAL_SIZE} ran at "
              f"{copy / 1e9:.1f} Gpixel/s, far below the usual "
              f"{args.usual_memcpy:g}: the run was disturbed; repeat it",
              file=sys.stderr)
    for path in args.runs:
        varied = unsteady(path)
        if varied:
            worst = max(varied, key=lambda nv: nv[1])
            print(f"warning: {path}: the repetitions of {len(varied)} "
                  f"benchmark(s) varied by more than {UNSTEADY_CV:.0%}, "
                  f"{worst[0]} by {worst[1]:.0%}: the run was disturbed",
                  file=sys.stderr)
    ranged = len(args.runs) > 1
    w = (9, 7, 9, 9) if not ranged else (17, 17, 17, 19)
    print(f"{'size':>10} {'what':<32} {'Mpixel/s':>{w[0]}} {'x ref':>{w[1]}} "
          f"{'x opencv':>{w[2]}} {'/ memcpy':>{w[3]}}")
    sizes = sorted({s for s, _ in table}, key=lambda s: int(s.split("x")[0]))
    for size in sizes:
        rows = sorted(((n, c) for (s, n), c in table.items() if s == size),
                      key=lambda nc: nc[1][0][0])
        for name, c in rows:
            print(f"{size:>10} {name:<32} "
                  + " ".join([cell(c[0], 1e-6, 0, w[0], ranged),
                              cell(c[1], 1, 1, w[1], ranged),
                              cell(c[2], 1, 1, w[2], ranged),
                              cell(c[3], 1, 2, w[3], ranged)]))
    if ranged:
        print(f"\nmedian of {len(args.runs)} runs (lowest-highest)")


if __name__ == "__main__":
    main()
