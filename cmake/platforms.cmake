# What the Windows builds need beyond the common targets: the DLL's shape
# (name, undecorated export, version resource), the wide-argument CLI and a
# check of the DLL's export and import tables.
if(NOT WIN32)
  return()
endif()

enable_language(RC)
configure_file(${PROJECT_SOURCE_DIR}/src/entry/edgemap.rc.in
               ${PROJECT_BINARY_DIR}/edgemap.rc @ONLY)
target_sources(edgemap PRIVATE ${PROJECT_BINARY_DIR}/edgemap.rc)

# The CLI and the tests link the library's objects, not the DLL.
target_compile_definitions(edgemap_core INTERFACE EDGEMAP_STATIC)

# edgemap.dll, as hosts load it (MinGW would call it libedgemap.dll).
set_target_properties(edgemap PROPERTIES PREFIX "" IMPORT_PREFIX "")

if(MINGW)
  # __stdcall names are exported as QTVSolbelP@8 on 32-bit x86 unless the
  # decoration is stripped; 64-bit has none.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(edgemap PRIVATE "LINKER:--kill-at")
  endif()
  # wmain instead of main.
  target_link_options(edgemap_cli PRIVATE -municode)
endif()

# Exactly one export, QTVSolbelP, and imports from system DLLs only.
set(EDGEMAP_CHECK_DLL_COMMAND
    ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DDLL=$<TARGET_FILE:edgemap>
    -P ${PROJECT_SOURCE_DIR}/cmake/check_dll.cmake)
add_custom_target(check_dll COMMAND ${EDGEMAP_CHECK_DLL_COMMAND}
                  DEPENDS edgemap VERBATIM)
