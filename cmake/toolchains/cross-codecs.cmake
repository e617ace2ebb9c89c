# Included by the ARM toolchain files after they set edgemap_cross_triple
# and edgemap_cross_arch: libspng, libjpeg, libtiff, libwebp and zlib for
# the target, as scripts/cross_codecs.sh unpacks them into
# /opt/edgemap-cross/ARCH. pkg-config reads only their .pc files, with the
# paths in them taken under that folder; the linker finds the libraries
# they need (zlib for libspng; libdeflate, libjbig, liblerc, liblzma and
# libzstd for libtiff) there too; and the emulator runs programs with the
# cross compiler's C library first, then these libraries.
set(edgemap_cross_codecs /opt/edgemap-cross/${edgemap_cross_arch})
set(ENV{PKG_CONFIG_LIBDIR}
    ${edgemap_cross_codecs}/usr/lib/${edgemap_cross_triple}/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${edgemap_cross_codecs})
unset(ENV{PKG_CONFIG_PATH})
# jconfig.h lives in the target's own include folder.
set(CMAKE_C_FLAGS_INIT
    "-isystem ${edgemap_cross_codecs}/usr/include/${edgemap_cross_triple}")
set(CMAKE_CXX_FLAGS_INIT ${CMAKE_C_FLAGS_INIT})
set(edgemap_cross_libraries
    ${edgemap_cross_codecs}/usr/lib/${edgemap_cross_triple}:${edgemap_cross_codecs}/lib/${edgemap_cross_triple})
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT
      "-Wl,-rpath-link,${edgemap_cross_libraries}")
endforeach()
