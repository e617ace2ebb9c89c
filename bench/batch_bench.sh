#!/usr/bin/env bash
# The batch command on a folder of 200 bitmaps of 640x480 (0.9 MB each),
# with one and with two workers, against cp -r of the same folder, page
# cache warm; each run starts from a missing output folder.
#   bench/batch_bench.sh [BUILD_DIR] [FILES]
# Needs hyperfine.
set -euo pipefail
build=${1:-build}
files=${2:-200}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

mkdir "$dir/in"
"$build/bench/edgemap_make_bmp" 640 480 "$dir/in/0.bmp"
for i in $(seq 1 $((files - 1))); do cp "$dir/in/0.bmp" "$dir/in/$i.bmp"; done
echo "$files bitmaps of 640x480 in $dir/in ($(du -sh "$dir/in" | cut -f1))"

hyperfine -N --warmup 3 --runs "${RUNS:-20}" --prepare "rm -rf $dir/out" \
  --export-json "$dir/times.json" \
  -n "cp -r" "cp -r $dir/in $dir/out" \
  -n "edgemap -j1" "$build/edgemap -q -j1 -o $dir/out -r $dir/in" \
  -n "edgemap -j2" "$build/edgemap -q -j2 -o $dir/out -r $dir/in" >/dev/null

python3 - "$dir/times.json" <<'PY'
import json, sys
cp, one, two = json.load(open(sys.argv[1]))["results"]
for r in (cp, one, two):
    print(f"{r['command']:>12}: median {r['median'] * 1e3:6.1f} ms, "
          f"mean {r['mean'] * 1e3:6.1f} ms, min {r['min'] * 1e3:6.1f} ms")
print(f"-j2 speed-up over -j1: {one['median'] / two['median']:.2f}x; "
      f"-j2 / cp -r: {two['median'] / cp['median']:.2f}x (medians)")
PY
