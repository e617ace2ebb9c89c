# PNG and JPEG through libspng and libjpeg(-turbo), found with pkg-config
# (cross builds point PKG_CONFIG_LIBDIR at the target's .pc files). Without
# them the library reads and writes bitmaps only, and the other formats
# are EDGEMAP_ERROR_UNSUPPORTED.
set(edgemap_codec_libraries "")
set(edgemap_has_codecs 0)
if(NOT EDGEMAP_CODECS STREQUAL "OFF")
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(EDGEMAP_SPNG QUIET IMPORTED_TARGET spng)
    pkg_check_modules(EDGEMAP_JPEG QUIET IMPORTED_TARGET libjpeg)
  endif()
  if(EDGEMAP_SPNG_FOUND AND EDGEMAP_JPEG_FOUND)
    set(edgemap_has_codecs 1)
    set(edgemap_codec_libraries PkgConfig::EDGEMAP_SPNG PkgConfig::EDGEMAP_JPEG)
    target_sources(edgemap_core PRIVATE
      src/codecs/jpeg_source.cpp
      src/codecs/png_sink.cpp
      src/codecs/png_source.cpp)
    target_link_libraries(edgemap_core PUBLIC ${edgemap_codec_libraries})
    message(STATUS "edgemap: PNG and JPEG with libspng ${EDGEMAP_SPNG_VERSION} and libjpeg ${EDGEMAP_JPEG_VERSION}")
  elseif(EDGEMAP_CODECS STREQUAL "ON")
    message(FATAL_ERROR "EDGEMAP_CODECS=ON: libspng and libjpeg not found "
                        "(install libspng-dev and libjpeg62-turbo-dev)")
  else()
    message(STATUS "edgemap: libspng or libjpeg not found, bitmaps only")
  endif()
endif()
set(EDGEMAP_HAS_CODECS ${edgemap_has_codecs})
target_compile_definitions(edgemap_core PUBLIC
  EDGEMAP_HAS_CODECS=${edgemap_has_codecs})
