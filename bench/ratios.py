#!/usr/bin/env python3
"""Ratios from one run of edgemap_bench, side by side per image size.

  edgemap_bench --benchmark_repetitions=5 --benchmark_out=run.json
  bench/ratios.py run.json

Uses the median of repetitions when there are any. "x ref" and "x opencv"
are speed-ups (pixels per second over theirs; opencv is the fastest of the
exact OpenCV compositions at that size); "/ memcpy" is the time
taken over memcpy's time for the same bytes.
"""
import json
import sys


def main(path):
    runs = json.load(open(path))["benchmarks"]
    medians = [r for r in runs if r.get("aggregate_name") == "median"]
    rows = medians or [r for r in runs if r.get("run_type") == "iteration"]
    rate = {}
    for r in rows:
        name, size = r["run_name"].split("/w:")
        rate[(size.replace("/h:", "x"), name)] = r["items_per_second"]
    sizes = sorted({s for s, _ in rate}, key=lambda s: int(s.split("x")[0]))
    print(f"{'size':>10} {'what':<24} {'Mpixel/s':>9} {'x ref':>7} "
          f"{'x opencv':>9} {'/ memcpy':>9}")
    for size in sizes:
        ref = rate.get((size, "detect_edges/reference"))
        # The fastest of the exact OpenCV compositions.
        cv = max((r for (s, n), r in rate.items()
                  if s == size and n.startswith("opencv")), default=None)
        copy = rate.get((size, "memcpy"))
        for (s, name), r in sorted(rate.items(), key=lambda kv: kv[1]):
            if s != size:
                continue
            cells = [f"{r / 1e6:9.0f}",
                     f"{r / ref:7.1f}" if ref else f"{'-':>7}",
                     f"{r / cv:9.1f}" if cv else f"{'-':>9}",
                     f"{copy / r:9.2f}" if copy else f"{'-':>9}"]
            print(f"{size:>10} {name:<24} " + " ".join(cells))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "run.json")
