#!/usr/bin/env bash
# Unpacks Debian's libspng, libjpeg-turbo and zlib for ARM (armhf, arm64)
# into /opt/edgemap-cross/ARCH, where the ARM toolchain files find them.
#   scripts/cross_codecs.sh armhf arm64
# The packages are downloaded and unpacked, never installed: installing the
# -dev packages through multiarch would pull in the target's C library
# headers, whose version must match the build machine's to the last
# security update, which a mirror in mid-sync does not always offer. The
# libraries need only the cross compiler's C library, which is the same
# glibc release. Safe to run again.
set -euo pipefail
root=/opt/edgemap-cross
packages=(libspng0 libspng-dev libjpeg62-turbo libjpeg62-turbo-dev zlib1g
          zlib1g-dev)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

for arch in "$@"; do
  if [ -f "$root/$arch/.complete" ]; then
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
  $sudo rm -rf "$root/$arch"
  $sudo mkdir -p "$root/$arch"
  for deb in "$work"/*.deb; do
    $sudo dpkg-deb -x "$deb" "$root/$arch"
  done
  rm -rf "$work"
  $sudo touch "$root/$arch/.complete"
  echo "cross_codecs.sh: unpacked into $root/$arch"
done
