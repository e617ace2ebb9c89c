# GoogleTest: the installed package where there is one (Linux, and armhf
# through multiarch); otherwise, as for mingw-w64, built here from Debian's
# sources with the project's compilers.
find_package(GTest QUIET)
if(NOT GTest_FOUND)
  set(EDGEMAP_GTEST_SOURCE /usr/src/googletest CACHE PATH
      "GoogleTest sources, built when no GoogleTest package is found")
  if(NOT EXISTS ${EDGEMAP_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest not found: install libgtest-dev "
                        "(or set EDGEMAP_GTEST_SOURCE)")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${EDGEMAP_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest
                   EXCLUDE_FROM_ALL)
  # GoogleTest's own build defines GTest::gtest and GTest::gtest_main.
endif()
