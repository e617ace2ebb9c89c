#!/usr/bin/env python3
"""What more threads buy the C API, from the same runs of edgemap_bench as
bench/ratios.py reads:

  bench/api_ratios.py run1.json run2.json run3.json

For edgemap_detect at each size, the speed with threads = 2 and threads = 0
(automatic) over the speed with one thread; for edgemap_convert_file on
eight files, two calling threads over one, writing new targets and
replacing existing ones. Each ratio is taken within one
run, then given as the median over the runs with its range.
"""
import json
import re
import statistics
import sys

DETECT = re.compile(r"^edgemap_detect/w:(\d+)/h:(\d+)/threads:(\d+)")
CONVERT = re.compile(
    r"^edgemap_convert_file/eight_1080p/callers:(\d+)/replace:(\d)")


def times(path):
    """Real time per iteration of each benchmark: the median aggregate when
    the run repeated, else the single result."""
    out = {}
    for b in json.load(open(path))["benchmarks"]:
        name = b.get("run_name", b["name"])
        if b.get("aggregate_name", "median") != "median":
            continue
        out[name] = b["real_time"]
    return out


def summary(values):
    return (f"{statistics.median(values):.2f} "
            f"({min(values):.2f}-{max(values):.2f})")


def main(paths):
    runs = [times(p) for p in paths]
    rows = {}
    for run in runs:
        detect = {}
        for name, t in run.items():
            m = DETECT.match(name)
            if m:
                detect[(f"{m[1]}x{m[2]}", int(m[3]))] = t
        for (size, threads), t in detect.items():
            if threads != 1 and (size, 1) in detect:
                label = f"edgemap_detect {size}, threads {threads} / 1"
                rows.setdefault(label, []).append(detect[(size, 1)] / t)
        convert = {}
        for name, t in run.items():
            m = CONVERT.match(name)
            if m:
                convert[(int(m[1]), m[2] == "1")] = t
        for replace in (False, True):
            if (1, replace) in convert and (2, replace) in convert:
                what = "replacing them" if replace else "new targets"
                label = f"edgemap_convert_file, 8 files, {what}: 2 callers / 1"
                rows.setdefault(label, []).append(
                    convert[(1, replace)] / convert[(2, replace)])
    width = max(len(k) for k in rows)
    for label in sorted(rows):
        print(f"{label:<{width}}  {summary(rows[label])}x")
    print(f"median of {len(paths)} runs (lowest-highest)")


if __name__ == "__main__":
    main(sys.argv[1:])
