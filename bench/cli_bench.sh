#!/usr/bin/env bash
# The command-line tool on a 4000x3000 24-bit bitmap against cp of the same
# file (page cache warm), and the tool's peak memory against the file size.
#   bench/cli_bench.sh [BUILD_DIR] [WIDTH HEIGHT]
# Needs hyperfine and GNU time (/usr/bin/time).
set -euo pipefail
build=${1:-build}
width=${2:-4000}
height=${3:-3000}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

"$build/bench/edgemap_make_bmp" "$width" "$height" "$dir/source.bmp"
size=$(stat -c %s "$dir/source.bmp")
echo "source: ${width}x${height}, $size bytes, in $dir"

hyperfine -N --warmup 5 --runs "${RUNS:-40}" \
  --export-json "$dir/times.json" \
  "cp $dir/source.bmp $dir/copy.bmp" \
  "$build/edgemap $dir/source.bmp $dir/target.bmp"

python3 - "$dir/times.json" <<'PY'
import json, sys
cp, tool = json.load(open(sys.argv[1]))["results"]
for name, r in (("cp", cp), ("edgemap", tool)):
    print(f"{name:>8}: mean {r['mean'] * 1e3:.1f} ms, median "
          f"{r['median'] * 1e3:.1f} ms, min {r['min'] * 1e3:.1f} ms")
print(f"edgemap / cp: mean {tool['mean'] / cp['mean']:.2f}, "
      f"median {tool['median'] / cp['median']:.2f}, "
      f"min {tool['min'] / cp['min']:.2f}")
PY

rss_kib=$(/usr/bin/time -v "$build/edgemap" "$dir/source.bmp" "$dir/target.bmp" \
  2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ {print $2}')
python3 -c "import sys; rss, size = int(sys.argv[1]) * 1024, int(sys.argv[2]); \
print(f'peak memory: {rss} bytes = {rss / size:.2f} x the file size')" \
  "$rss_kib" "$size"
