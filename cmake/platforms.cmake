# What the Windows builds need beyond the common targets: the DLL's shape
# (name, undecorated export, version resource), the wide-argument CLI and a
# check of the DLL's export and import tables.
if(NOT WIN32)
  return()
endif()

enable_language(RC)
# Windows versions have four parts: 1.1.0 is 1.1.0.0.
set(edgemap_dll_version
    ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
if(PROJECT_VERSION_TWEAK)
  string(REGEX REPLACE "\\.0$" ".${PROJECT_VERSION_TWEAK}" edgemap_dll_version
         ${edgemap_dll_version})
endif()
string(REPLACE "." "," edgemap_dll_version_commas ${edgemap_dll_version})
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
    # The linker's import library would then lack the decorated symbol that
    # callers' code refers to (_imp__QTVSolbelP@8); dlltool writes one that
    # maps it to the undecorated export.
    add_custom_command(TARGET edgemap POST_BUILD
      COMMAND ${CMAKE_DLLTOOL} --kill-at
        --def ${PROJECT_SOURCE_DIR}/src/entry/edgemap_x86.def
        --dllname edgemap.dll --output-lib $<TARGET_LINKER_FILE:edgemap>
      VERBATIM)
  endif()
  # wmain instead of main.
  if(TARGET edgemap_cli)
    target_link_options(edgemap_cli PRIVATE -municode)
  endif()
endif()

# A C program linked against the import library, as hosts built with
# the library link it; it calls every public function.
add_executable(edgemap_linked_host tests/host/linked_host.c)
target_link_libraries(edgemap_linked_host PRIVATE edgemap)
target_compile_definitions(edgemap_linked_host PRIVATE
  EDGEMAP_EXPECTED_VERSION="${PROJECT_VERSION}"
  EDGEMAP_HAS_CODECS=${EDGEMAP_HAS_CODECS})
set_target_properties(edgemap_linked_host PROPERTIES C_STANDARD 11)
edgemap_warnings(edgemap_linked_host)

# Exactly the public functions exported, imports from system DLLs only,
# the linked program importing each by its name, and the 32-bit import
# library's definition listing the same names.
set(EDGEMAP_CHECK_DLL_COMMAND
    ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DDLL=$<TARGET_FILE:edgemap>
    -DCONSUMER=$<TARGET_FILE:edgemap_linked_host>
    -DDEF=${PROJECT_SOURCE_DIR}/src/entry/edgemap_x86.def
    -P ${PROJECT_SOURCE_DIR}/cmake/check_dll.cmake)
add_custom_target(check_dll COMMAND ${EDGEMAP_CHECK_DLL_COMMAND}
                  DEPENDS edgemap edgemap_linked_host VERBATIM)
