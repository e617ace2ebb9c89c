#!/usr/bin/env bash
# Unpacks Debian's libspng, libjpeg-turbo, libtiff, libwebp and zlib for ARM
# (armhf, arm64) into /opt/edgemap-cross/ARCH, where the ARM toolchain
# files find them, with the libraries libtiff is linked against, so that
# the linker (-rpath-link) and qemu find them too.
#   scripts/cross_codecs.sh armhf arm64
# The packages are downloaded and unpacked, never installed: installing the
# -dev packages through multiarch would pull in the target's C library
# headers, whose version must match the build machine's to the last
# security update, which a mirror in mid-sync does not always offer. The
# libraries need only the cross compiler's C library, which is the same
# glibc release. Safe to run again: an architecture is unpacked again when
# the list of packages changed.
set -euo pipefail
root=/opt/edgemap-cross
# libtiff-4.pc names libwebp, libzstd, liblzma, libjpeg, libdeflate and
# zlib as private requirements, and pkg-config wants their .pc files too.
packages=(libspng0 libspng-dev libjpeg62-turbo libjpeg62-turbo-dev zlib1g
          zlib1g-dev libtiff6 libtiff-dev libwebp7 libwebp-dev libdeflate0
          libdeflate-dev libjbig0 liblerc4 liblzma5 liblzma-dev libzstd1
          libzstd-dev)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

for arch in "$@"; do
  if [ "$(cat "$root/$arch/.complete" 2>/dev/null)" = "${packages[*]}" ]; then
    echo "cross_codecs.sh: $root/$arch is in place"
    continue
  fi
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    $sudo dpkg --add-architecture "$arch"
  fi
  # The index of the architecture, if this machine has never fetched it.
  if ! apt-cache show "libspng-dev:$arch" >/dev/null 2>&1; then
    $sudo apt-get update -q ||
      echo "cross_codecs.sh: apt-get update failed in part" >&2
  fi
  work=$(mktemp -d)
  (cd "$work" &&
   apt-get -q -o APT::Sandbox::User="$(id -un)" download \
     "${packages[@]/%/:$arch}")
  # Unpacked beside the old tree, which is swapped out only then: a build
  # or test using it meanwhile finds it whole.
  $sudo rm -rf "$root/$arch.new" "$root/$arch.old"
  $sudo mkdir -p "$root/$arch.new"
  for deb in "$work"/*.deb; do
    $sudo dpkg-deb -x "$deb" "$root/$arch.new"
  done
  rm -rf "$work"
  echo "${packages[*]}" | $sudo tee "$root/$arch.new/.complete" >/dev/null
  if [ -d "$root/$arch" ]; then
    $sudo mv "$root/$arch" "$root/$arch.old"
  fi
  $sudo mv "$root/$arch.new" "$root/$arch"
  $sudo rm -rf "$root/$arch.old"
  echo "cross_codecs.sh: unpacked into $root/$arch"
done
