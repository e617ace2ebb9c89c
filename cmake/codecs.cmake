# PNG, JPEG, TIFF and WebP through libspng, libjpeg(-turbo), libtiff and
# libwebp, found with pkg-config (cross builds point PKG_CONFIG_LIBDIR at
# the target's .pc files). Without all four the library reads and writes
# bitmaps only, and the other formats are EDGEMAP_ERROR_UNSUPPORTED.
set(edgemap_codec_libraries "")
set(edgemap_has_codecs 0)
if(NOT EDGEMAP_CODECS STREQUAL "OFF")
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(EDGEMAP_SPNG QUIET IMPORTED_TARGET spng)
    pkg_check_modules(EDGEMAP_JPEG QUIET IMPORTED_TARGET libjpeg)
    pkg_check_modules(EDGEMAP_TIFF QUIET IMPORTED_TARGET libtiff-4)
    pkg_check_modules(EDGEMAP_WEBP QUIET IMPORTED_TARGET libwebp)
  endif()
  if(EDGEMAP_SPNG_FOUND AND EDGEMAP_JPEG_FOUND AND EDGEMAP_TIFF_FOUND
     AND EDGEMAP_WEBP_FOUND)
    set(edgemap_has_codecs 1)
    set(edgemap_codec_libraries PkgConfig::EDGEMAP_SPNG PkgConfig::EDGEMAP_JPEG
        PkgConfig::EDGEMAP_TIFF PkgConfig::EDGEMAP_WEBP)
    target_sources(edgemap_core PRIVATE
      src/codecs/exif.cpp
      src/codecs/jpeg_source.cpp
      src/codecs/png_sink.cpp
      src/codecs/png_source.cpp
      src/codecs/tiff_io.cpp
      src/codecs/tiff_sink.cpp
      src/codecs/tiff_source.cpp
      src/codecs/webp_source.cpp)
    target_link_libraries(edgemap_core PUBLIC ${edgemap_codec_libraries})
    message(STATUS "edgemap: PNG, JPEG, TIFF and WebP with libspng ${EDGEMAP_SPNG_VERSION}, libjpeg ${EDGEMAP_JPEG_VERSION}, libtiff ${EDGEMAP_TIFF_VERSION} and libwebp ${EDGEMAP_WEBP_VERSION}")
  elseif(EDGEMAP_CODECS STREQUAL "ON")
    message(FATAL_ERROR "EDGEMAP_CODECS=ON: libspng, libjpeg, libtiff or libwebp "
                        "not found (install libspng-dev, libjpeg62-turbo-dev, "
                        "libtiff-dev and libwebp-dev)")
  else()
    message(STATUS "edgemap: libspng, libjpeg, libtiff or libwebp not found, bitmaps only")
  endif()
endif()
set(EDGEMAP_HAS_CODECS ${edgemap_has_codecs})
target_compile_definitions(edgemap_core PUBLIC
  EDGEMAP_HAS_CODECS=${edgemap_has_codecs})
