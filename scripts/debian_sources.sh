#!/usr/bin/env bash
# Builds zlib, libspng, libjpeg-turbo, libtiff and libwebp as static
# libraries, with their pkg-config files, for a platform Debian has no
# packages of them for (Windows, WebAssembly), from the source packages
# Debian 12's own are built from:
#
#   scripts/debian_sources.sh TOOLCHAIN FOLDER [CMAKE_OPTION...]
#   scripts/debian_sources.sh cmake/toolchains/mingw-w64-x86_64.cmake build-win64
#
# TOOLCHAIN is the target's CMake toolchain file and FOLDER the build folder
# the libraries are for. Everything lands in FOLDER/debian-sources: apt's
# private source list, index and cache (apt/), the source packages
# (sources/), their builds and logs (build/) and the result (prefix/, where
# the mingw-w64 toolchain files point pkg-config). Each CMAKE_OPTION goes to
# every library's configure, for a target that needs one (-DWITH_SIMD=0
# where libjpeg-turbo's x86 assembly cannot go).
#
# apt-get works from a source list of its own here, so the machine's apt
# setup is neither read nor changed: `apt-get update` checks the archive's
# InRelease against Debian's archive keyring, and `apt-get source` every
# file it downloads against the checksums in that signed index;
# `dpkg-source -x` checks them against the .dsc once more as it unpacks
# them and applies Debian's patches. The suites are bookworm and
# bookworm-updates, the versions a Debian 12 machine installs from its
# point releases.
#
# Safe to run again: a library is built again only when this script, the
# toolchain file (or a file beside it that it names), the options, or a
# library it is built against changed; when none is, nothing is fetched.
# Needs cmake, ninja, apt-get, dpkg-source (dpkg-dev), the target's
# compilers, and nasm for libjpeg-turbo's x86 SIMD code (without it
# libjpeg-turbo builds its C code alone).
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 TOOLCHAIN FOLDER [CMAKE_OPTION...]" >&2
  exit 2
fi
if [ ! -f "$1" ]; then
  echo "debian_sources.sh: no toolchain file $1" >&2
  exit 2
fi
toolchain=$(realpath "$1")
mkdir -p "$2"
root=$(realpath "$2")/debian-sources
shift 2
extra_options=("$@")
prefix=$root/prefix
apt_dir=$root/apt
archive=http://deb.debian.org/debian
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
suites=(bookworm bookworm-updates)

# Source packages in build order, each after those it is built against.
libraries=(zlib libjpeg-turbo libspng libwebp tiff)
declare -A built_against=([libspng]="zlib" [tiff]="zlib libjpeg-turbo")

# A toolchain file often includes a shared part beside it
# (mingw-w64-common.cmake): the files beside it that it names count too.
fingerprint=$(
  {
    cat "$0" "$toolchain"
    for sibling in "$(dirname "$toolchain")"/*.cmake; do
      if [ "$sibling" != "$toolchain" ] &&
        grep -qF "$(basename "$sibling")" "$toolchain"; then
        cat "$sibling"
      fi
    done
    printf '%s\n' "${extra_options[@]}"
  } | sha256sum | cut -d' ' -f1
)

declare -A rebuilt=()
pending=()
for library in "${libraries[@]}"; do
  stale=0
  [ "$(cut -d' ' -f1 "$root/stamps/$library" 2>/dev/null)" = "$fingerprint" ] ||
    stale=1
  for dependency in ${built_against[$library]:-}; do
    [ -z "${rebuilt[$dependency]:-}" ] || stale=1
  done
  if ((stale)); then
    rebuilt[$library]=1
    pending+=("$library")
  fi
done
if [ ${#pending[@]} -eq 0 ]; then
  echo "debian_sources.sh: $prefix is up to date"
  exit 0
fi

# Nothing of the machine's source lists, index or cache.
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" \
  "$apt_dir/cache/archives/partial"
for suite in "${suites[@]}"; do
  echo "deb-src [signed-by=$keyring] $archive $suite main"
done >"$apt_dir/sources.list.d/debian-sources.list"
apt_options=(-q -o "Dir::Etc::SourceList=/dev/null"
  -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
  -o "APT::Sandbox::User=$(id -un)")
apt-get "${apt_options[@]}" update
# Files already here are checked against the index and kept if they match.
mkdir -p "$root/sources"
(cd "$root/sources" &&
  apt-get "${apt_options[@]}" source --download-only "${pending[@]}")

# Runs a step with its output in the library's log, shown if it fails.
quietly() {
  "$@" >>"$log" 2>&1 || {
    cat "$log" >&2
    echo "debian_sources.sh: failed: $*" >&2
    exit 1
  }
}

# Unpacks afresh the version the index names, the one apt-get fetched,
# and prints its name.
unpack() {
  local name=$1 version dsc
  version=$(apt-cache "${apt_options[@]}" showsrc --only-source "$name" |
    sed -n 's/^Version: //p' | sort -V | tail -n1)
  dsc=$root/sources/${name}_${version#*:}.dsc
  if [ ! -f "$dsc" ]; then
    echo "debian_sources.sh: $dsc was not downloaded" >&2
    exit 1
  fi
  rm -rf "${root:?}/sources/$name"
  # Its warning that it cannot check the uploader's signature (that takes
  # the debian-keyring package) goes to the log with the rest: the files
  # are the ones the archive's signed index names.
  quietly dpkg-source --no-copy -x "$dsc" "$root/sources/$name"
  echo "${name}_${version}"
}

# Configures one library with the target's toolchain, static and position
# independent (a shared library links it in), and builds the given targets
# of it.
build() {
  local name=$1 targets=$2
  shift 2
  rm -rf "${root:?}/build/$name"
  quietly cmake -S "$root/sources/$name" -B "$root/build/$name" -G Ninja \
    --no-warn-unused-cli -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR="$prefix/lib" \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DBUILD_SHARED_LIBS=OFF \
    "$@" "${extra_options[@]}"
  # shellcheck disable=SC2086 # a list of target names
  quietly cmake --build "$root/build/$name" --target $targets
}

# The libraries built against others are given them by file: a toolchain's
# search roots need not include the prefix.
zlib_options=(-DZLIB_INCLUDE_DIR="$prefix/include"
  -DZLIB_LIBRARY="$prefix/lib/libz.a")
jpeg_options=(-DJPEG_INCLUDE_DIR="$prefix/include"
  -DJPEG_LIBRARY="$prefix/lib/libjpeg.a")

mkdir -p "$prefix/include/webp" "$prefix/lib/pkgconfig" "$root/build" \
  "$root/stamps"
started=$SECONDS
for library in "${pending[@]}"; do
  rm -f "$root/stamps/$library"
  log=$root/build/$library.log
  : >"$log"
  version=$(unpack "$library")
  echo "debian_sources.sh: building $version"
  source_dir=$root/sources/$library
  build_dir=$root/build/$library
  # Only the static library is built, and taken with its headers and
  # pkg-config file where the library's own install rules would want its
  # programs or shared library built too.
  case $library in
    zlib)
      # Its CMakeLists.txt names win32/zlib1.rc on every platform but
      # MinGW, and Debian's source leaves win32/ out: empty, it lets the
      # configure pass where no resource compiler reads it (WebAssembly).
      mkdir -p "$source_dir/win32"
      : >"$source_dir/win32/zlib1.rc"
      # Where shared libraries are static ones too (WebAssembly), both
      # targets named z would write libz.a: the shared one, never built
      # here, keeps its own name.
      sed -i 's/^\( *set_target_properties(\)zlib zlibstatic\( PROPERTIES OUTPUT_NAME z)\)/\1zlibstatic\2/' \
        "$source_dir/CMakeLists.txt"
      # Called zlibstatic on Windows; zlib.pc says -lz.
      build zlib zlibstatic
      cp "$source_dir/zlib.h" "$build_dir/zconf.h" "$prefix/include/"
      cp "$build_dir"/libz*.a "$prefix/lib/libz.a"
      cp "$build_dir/zlib.pc" "$prefix/lib/pkgconfig/"
      ;;
    libjpeg-turbo)
      # jpegint.h too, as Debian's libjpeg62-turbo-dev has it.
      build libjpeg-turbo jpeg-static -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
        -DWITH_TURBOJPEG=OFF
      grep "^-- SIMD extensions" "$log" || true
      cp "$source_dir"/{jpeglib,jerror,jmorecfg,jpegint}.h "$build_dir/jconfig.h" \
        "$prefix/include/"
      cp "$build_dir/libjpeg.a" "$prefix/lib/"
      cp "$build_dir/pkgscripts/libjpeg.pc" "$prefix/lib/pkgconfig/"
      ;;
    libspng)
      # Its CMake build has no static-only mode and writes libspng.pc,
      # where Debian's (Meson) build installs spng.pc. spng.h declares the
      # functions imported from a DLL on Windows unless SPNG_STATIC is
      # defined. The filter optimizations are off, as in Debian's package.
      build libspng spng_static -DSPNG_SHARED=ON -DSPNG_STATIC=ON \
        -DBUILD_EXAMPLES=OFF -DENABLE_OPT=OFF "${zlib_options[@]}"
      cp "$source_dir/spng/spng.h" "$prefix/include/"
      cp "$build_dir/libspng_static.a" "$prefix/lib/libspng.a"
      upstream_version=${version#*_}
      upstream_version=${upstream_version%-*}
      cat >"$prefix/lib/pkgconfig/spng.pc" <<PC
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: libspng
Description: PNG decoding and encoding library
Version: $upstream_version
Requires.private: zlib
Libs: -L\${libdir} -lspng
Libs.private: -lm
Cflags: -I\${includedir} -DSPNG_STATIC
PC
      ;;
    libwebp)
      # libwebp 1.2.4 builds libsharpyuv into libwebp itself.
      build libwebp webp -DWEBP_BUILD_ANIM_UTILS=OFF -DWEBP_BUILD_CWEBP=OFF \
        -DWEBP_BUILD_DWEBP=OFF -DWEBP_BUILD_GIF2WEBP=OFF \
        -DWEBP_BUILD_IMG2WEBP=OFF -DWEBP_BUILD_VWEBP=OFF \
        -DWEBP_BUILD_WEBPINFO=OFF -DWEBP_BUILD_LIBWEBPMUX=OFF \
        -DWEBP_BUILD_WEBPMUX=OFF -DWEBP_BUILD_EXTRAS=OFF
      cp "$source_dir"/src/webp/{decode,encode,types}.h "$prefix/include/webp/"
      cp "$build_dir/libwebp.a" "$prefix/lib/"
      cp "$build_dir/src/libwebp.pc" "$prefix/lib/pkgconfig/"
      ;;
    tiff)
      # Deflate (zlib) and JPEG besides libtiff's own codecs: what cameras
      # and scanners write. No tools, tests or documentation, so its own
      # install rules install the library alone.
      build tiff tiff -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF \
        -Dtiff-docs=OFF -Dcxx=OFF -Dzlib=ON -Djpeg=ON -Djpeg12=OFF \
        -Djbig=OFF -Dlzma=OFF -Dzstd=OFF -Dlerc=OFF -Dwebp=OFF \
        -Dlibdeflate=OFF "${zlib_options[@]}" "${jpeg_options[@]}"
      quietly cmake --install "$build_dir"
      ;;
  esac
  # Their licences ask for their notices to go with the programs they are
  # built into.
  mkdir -p "$prefix/share/doc/$library"
  cp "$source_dir/debian/copyright" "$prefix/share/doc/$library/"
  echo "$fingerprint $version" >"$root/stamps/$library"
done
echo "debian_sources.sh: built ${pending[*]} into $prefix in" \
  "$((SECONDS - started))s"
