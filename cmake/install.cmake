include(CMakePackageConfigHelpers)

install(TARGETS edgemap EXPORT edgemap-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET edgemap_cli)
  install(TARGETS edgemap_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES docs/edgemap.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# Codecs linked into the library and the program (the Windows builds')
# come with their licences, which ask for their notices to travel with
# every binary made of them.
if(EDGEMAP_CODECS_PREFIX AND EXISTS ${EDGEMAP_CODECS_PREFIX}/share/doc)
  install(DIRECTORY ${EDGEMAP_CODECS_PREFIX}/share/doc/
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/third-party)
endif()

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/edgemap)
install(EXPORT edgemap-targets NAMESPACE edgemap:: DESTINATION ${config_dir})
configure_package_config_file(cmake/edgemap-config.cmake.in
  ${PROJECT_BINARY_DIR}/edgemap-config.cmake INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/edgemap-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/edgemap-config.cmake
  ${PROJECT_BINARY_DIR}/edgemap-config-version.cmake DESTINATION ${config_dir})

# Relative to its own folder, so the file is right under any --prefix.
file(RELATIVE_PATH pc_to_prefix /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
configure_file(cmake/edgemap.pc.in ${PROJECT_BINARY_DIR}/edgemap.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/edgemap.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
