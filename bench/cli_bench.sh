#!/usr/bin/env bash
# The command-line tool on a 4000x3000 24-bit bitmap against cp of the same
# file, page cache warm: RUNS (default 40) runs of each, interleaved (cp,
# edgemap, edgemap, cp, ...) so that a disturbance hits both alike, and the
# tool's peak memory against the file size. Twice: writing a new target
# (removed, untimed, before each run) and replacing the target of the run
# before, which on ext4 costs edgemap's rename over it a start of the new
# file's write-back (what makes the rename safe against a power cut).
#   bench/cli_bench.sh [BUILD_DIR] [WIDTH HEIGHT]
set -euo pipefail
build=${1:-build}
width=${2:-4000}
height=${3:-3000}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

"$build/bench/edgemap_make_bmp" "$width" "$height" "$dir/source.bmp"
size=$(stat -c %s "$dir/source.bmp")
echo "source: ${width}x${height}, $size bytes, in $dir"

python3 - "$build/edgemap" "$dir" "$size" "${RUNS:-40}" <<'PY'
import os, statistics, sys, time
tool, folder, size, runs = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
source = os.path.join(folder, "source.bmp")
commands = {
    "cp": ["/bin/cp", source, os.path.join(folder, "copy.bmp")],
    "edgemap": [tool, source, os.path.join(folder, "target.bmp")],
}
def once(name, fresh):
    if fresh and os.path.exists(commands[name][2]):
        os.unlink(commands[name][2])
    with open(os.devnull, "wb") as null:
        start = time.perf_counter()
        pid = os.posix_spawn(commands[name][0], commands[name], os.environ,
                             file_actions=[(os.POSIX_SPAWN_DUP2, null.fileno(), 1)])
        _, status, usage = os.wait4(pid, 0)
        elapsed = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{name} failed")
    return elapsed, usage.ru_maxrss * 1024
peak = 0
for fresh in (True, False):
    times = {name: [] for name in commands}
    for _ in range(3):  # warm-up: page cache, huge pages
        once("cp", fresh); once("edgemap", fresh)
    for i in range(runs):
        order = ("cp", "edgemap") if i % 2 == 0 else ("edgemap", "cp")
        for name in order:
            t, rss = once(name, fresh)
            times[name].append(t)
            if name == "edgemap":
                peak = max(peak, rss)
    print("new target:" if fresh else "replacing the target:")
    for name in commands:
        t = times[name]
        print(f"{name:>10}: median {statistics.median(t) * 1e3:.1f} ms, "
              f"mean {statistics.mean(t) * 1e3:.1f} ms, "
              f"min {min(t) * 1e3:.1f} ms ({runs} runs)")
    print(f"  edgemap / cp: "
          f"{statistics.median(times['edgemap']) / statistics.median(times['cp']):.2f}"
          f" (medians), {min(times['edgemap']) / min(times['cp']):.2f} (minima)")
print(f"peak memory of edgemap: {peak} bytes = {peak / size:.2f} x the file size")
PY
