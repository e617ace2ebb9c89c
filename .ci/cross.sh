#!/usr/bin/env bash
# What CI checks on the other platforms beyond the README's commands, on
# the builds those commands made: .ci/run runs scripts/readme_commands.sh
# first, which installs the cross tools, builds Windows x86-64 (tested
# under Wine), 32-bit Windows (its export tables checked) and 32-bit ARM
# Linux (tested under qemu-arm). A platform whose commands left the README
# fails here instead of going untested.
set -euo pipefail
cd "$(dirname "$0")/.."

for build in build-win64 build-win32 build-armhf; do
  if [ ! -f "$build/CMakeCache.txt" ]; then
    echo "$build is missing: the README no longer builds it"
    exit 1
  fi
done
echo "cross builds in place: build-win64 build-win32 build-armhf"
