#!/usr/bin/env python3
"""An 8000 x 6000 bitmap to a 1-bit bitmap against cp of it, for one build
or two (to see that a change made nothing slower):

  bench/bmp_bits_bench.py BUILD_DIR [OTHER_BUILD_DIR] [ROUNDS]

The bitmap is BUILD_DIR/bench/edgemap_make_bmp's picture, in a temporary
folder, page cache warm. Each round runs cp and every build's
`edgemap --bits 1` once, in an order turned by one each round, targets
removed (untimed) first; ROUNDS (default 21) rounds. Prints each command's
median real and processor time with their range, and its ratios to cp's
median.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ARGS = sys.argv[1:]
ROUNDS = int(ARGS.pop()) if ARGS and ARGS[-1].isdigit() else 21
BUILDS = ARGS or ["build"]


def once(argv):
    """Real and processor (user + system) time of one run, in ms."""
    target = argv[-1]
    if os.path.exists(target):
        os.remove(target)
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ)
    _, status, usage = os.wait4(pid, 0)
    real = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{' '.join(argv)} failed")
    return real * 1000, (usage.ru_utime + usage.ru_stime) * 1000


def summary(values):
    return (f"{statistics.median(values):6.1f} "
            f"({min(values):.1f}-{max(values):.1f})")


def main():
    d = tempfile.mkdtemp(prefix="edgemap-bits-")
    try:
        source = os.path.join(d, "big.bmp")
        subprocess.run([os.path.join(BUILDS[0], "bench", "edgemap_make_bmp"),
                        "8000", "6000", source], check=True)
        commands = {"cp": ["/bin/cp", source, os.path.join(d, "copy.bmp")]}
        for k, build in enumerate(BUILDS):
            commands[f"edgemap --bits 1 ({build})"] = [
                os.path.abspath(os.path.join(build, "edgemap")), "--bits",
                "1", source, os.path.join(d, f"edges{k}.bmp")]
        names = list(commands)
        for name in names:  # warm: the page cache, the programs
            once(commands[name])
        real = {name: [] for name in names}
        cpu = {name: [] for name in names}
        for r in range(ROUNDS):
            for name in names[r % len(names):] + names[:r % len(names)]:
                t, c = once(commands[name])
                real[name].append(t)
                cpu[name].append(c)
        cp_real = statistics.median(real["cp"])
        cp_cpu = statistics.median(cpu["cp"])
        print(f"8000x6000 bitmap, {ROUNDS} rounds: median (lowest-highest)")
        for name in names:
            r = statistics.median(real[name]) / cp_real
            c = statistics.median(cpu[name]) / cp_cpu
            print(f"  {name:44s} real {summary(real[name])} ms {r:.2f}x cp, "
                  f"processor {summary(cpu[name])} ms {c:.2f}x cp")
    finally:
        shutil.rmtree(d)


if __name__ == "__main__":
    main()
