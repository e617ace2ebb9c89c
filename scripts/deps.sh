#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine needs to build edgemap and run its
# tests. Safe to run again: apt-get skips what is already there.
set -euo pipefail

# The Python package builds with pybind11 against Python's headers and is
# tested with pytest, NumPy, Pillow, Dask's distributed scheduler and Zarr
# (edgemap.dask; SciPy for its benchmark's comparison); its wheel is built
# with python3-build and installed into a venv.
# PNG and JPEG come through libspng and libjpeg-turbo, found with
# pkg-config; djpeg and cjpeg (libjpeg-turbo-progs) serve the benchmarks and
# the examples. Cross builds pass their targets' multiarch packages as
# arguments (docs/platforms.md). The browser build (web/) is compiled by
# Emscripten and tested in Chromium, under the Node 20 and npm the machine
# comes with (docs/web.md).
packages=(g++ cmake ninja-build pkg-config libspng-dev libjpeg62-turbo-dev
          libjpeg-turbo-progs libgtest-dev libbenchmark-dev libcli11-dev
          python3 python3-pil python3-dev python3-numpy pybind11-dev
          python3-pybind11 python3-pytest python3-setuptools python3-wheel
          python3-build python3-venv python3-distributed python3-zarr
          python3-scipy man-db emscripten chromium "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" ||
    missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
# A mirror caught mid-sync fails one index or another now and then; the
# install below still has the lists it got, and fails by itself if a
# package is really missing.
$sudo apt-get update -q ||
  echo "deps.sh: apt-get update failed in part; installing from the lists it has" >&2
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
