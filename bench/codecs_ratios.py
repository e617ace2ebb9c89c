#!/usr/bin/env python3
"""Conversions over their decoder alone, from runs of edgemap_codecs_bench:

  for i in 1 2 3; do
    taskset -c 0 build/bench/edgemap_codecs_bench --benchmark_repetitions=3 \\
      --benchmark_enable_random_interleaving=true \\
      --benchmark_report_aggregates_only=true --benchmark_out=codecs$i.json
  done
  bench/codecs_ratios.py codecs1.json codecs2.json codecs3.json

Benchmarks are named FORMAT/SIZE/WHAT; each edgemap_* one is divided by
the *_decode one of the same format and size, time over time within one
run, and given as the median over the runs with its range, beside the
times themselves. Real time first, then the calling thread's processor
time, which on one processor (taskset) is all the work there is and which
other programs sharing that processor do not inflate as they do the real
time. memcpy's speed in each run is the yardstick for a disturbed
machine: a run far below the others shared the memory or the processor
with another program, and should be repeated.
"""
import json
import statistics
import sys


def times(path):
    """{name: (real, processor) time in ms} of one run: the median of its
    repetitions when it repeated, else the single result; and memcpy's
    GB/s."""
    out, memcpy = {}, None
    with open(path) as f:
        benchmarks = json.load(f)["benchmarks"]
    for b in benchmarks:
        if b.get("aggregate_name", "median") != "median":
            continue
        name = b.get("run_name", b["name"]).removesuffix("/real_time")
        out[name] = (b["real_time"], b["cpu_time"])
        if name.startswith("memcpy/"):
            memcpy = b["bytes_per_second"] / 1e9
    return out, memcpy


def summary(values, digits):
    return (f"{statistics.median(values):.{digits}f} "
            f"({min(values):.{digits}f}-{max(values):.{digits}f})")


def main(paths):
    rows, spent, copies = {}, {}, []
    for path in paths:
        run, memcpy = times(path)
        if memcpy is not None:
            copies.append(memcpy)
        for name, t in run.items():
            spent.setdefault(name, []).append(t)
            parts = name.split("/", 2)
            if len(parts) < 3 or not parts[2].startswith("edgemap"):
                continue
            fmt, size, what = parts
            for d in run:
                if d.startswith(f"{fmt}/{size}/") and d.endswith("_decode"):
                    label = f"{fmt} {size}: {what} / {d.split('/')[-1]}"
                    rows.setdefault(label, []).append(
                        (t[0] / run[d][0], t[1] / run[d][1]))
    width = max([len(k) for k in list(rows) + list(spent)] + [1])
    print(f"{'':<{width}}  {'real':<22}  processor")
    for name in sorted(spent):
        real = summary([t[0] for t in spent[name]], 1)
        cpu = summary([t[1] for t in spent[name]], 1)
        print(f"{name:<{width}}  {real + ' ms':<22}  {cpu} ms")
    for label in sorted(rows):
        real = summary([r[0] for r in rows[label]], 2)
        cpu = summary([r[1] for r in rows[label]], 2)
        print(f"{label:<{width}}  {real + 'x':<22}  {cpu}x")
    if copies:
        print(f"{'memcpy':<{width}}  {summary(copies, 1)} GB/s")
    print(f"median of {len(paths)} runs (lowest-highest)")


if __name__ == "__main__":
    main(sys.argv[1:])
