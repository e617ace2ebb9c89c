#!/usr/bin/env python3
"""The README's speed chart from runs of edgemap_bench.

  bench/ratio_chart.py run1.json run2.json run3.json bench/ratios.png

Two panels per image size: each kernel's speed-up over the fastest exact
OpenCV composition, and its time over memcpy's for the same bytes; bars
are medians over the runs, whiskers their range (see bench/ratios.py,
which computes both). Needs Debian's python3-matplotlib.
"""
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ratios import summary  # noqa: E402

# The variants drawn, slowest first; the others (forced streaming, the
# reference) are in the table.
SHOWN = ["portable", "neon", "sse41", "avx2", "avx512", "avx512vbmi"]


def bars(ax, table, sizes, names, column, title, reference_line):
    height = 0.8 / len(sizes)
    for i, size in enumerate(sizes):
        ys, medians, low, high = [], [], [], []
        for j, name in enumerate(names):
            value = table.get((size, "detect_edges/" + name), [None] * 4)
            if value[column] is None:
                continue
            median, lo, hi = value[column]
            ys.append(j + (i - (len(sizes) - 1) / 2) * height)
            medians.append(median)
            low.append(median - lo)
            high.append(hi - median)
        ax.barh(ys, medians, height=height, xerr=[low, high], capsize=2,
                label=size.replace("x", " × "))
        for y, m in zip(ys, medians):
            ax.text(m, y, f" {m:.1f}", va="center", fontsize=7)
    ax.axvline(reference_line, color="gray", linewidth=0.8)
    ax.set_yticks(range(len(names)))
    ax.set_yticklabels(names)
    ax.set_title(title, fontsize=10)
    ax.invert_yaxis()


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    runs, out = sys.argv[1:-1], sys.argv[-1]
    table, disturbed = summary(runs)
    for path, copy in disturbed:
        print(f"warning: {path}: memcpy ran at {copy / 1e9:.1f} Gpixel/s, "
              "far below the usual: the run was disturbed", file=sys.stderr)
    sizes = sorted({s for s, n in table if n == "memcpy"},
                   key=lambda s: int(s.split("x")[0]))
    sizes = [s for s in sizes if int(s.split("x")[0]) >= 1920] or sizes
    names = [n for n in SHOWN
             if any((s, "detect_edges/" + n) in table for s in sizes)]
    fig, (speed, copy) = plt.subplots(1, 2, figsize=(10, 1 + 0.6 * len(names)),
                                      sharey=True)
    bars(speed, table, sizes, names, 2,
         "× the fastest exact OpenCV composition (higher is faster)", 1)
    bars(copy, table, sizes, names, 3,
         "time ÷ memcpy of the same bytes (lower is faster)", 1)
    speed.legend(fontsize=8, loc="lower right")
    fig.suptitle(f"edgemap kernels, one thread: median of {len(runs)} "
                 "run(s), whiskers their range", fontsize=10)
    fig.tight_layout()
    fig.savefig(out, dpi=110)


if __name__ == "__main__":
    main()
