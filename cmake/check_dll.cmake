# cmake -DOBJDUMP=... -DDLL=edgemap.dll [-DCONSUMER=prog.exe] [-DDEF=x.def]
#       -P check_dll.cmake
# Fails unless the DLL exports exactly the public functions, undecorated,
# and imports only from DLLs that come with Windows; unless CONSUMER, linked
# against the import library, imports every one of them by that name from
# edgemap.dll; and unless DEF, the module definition the 32-bit import
# library is made from, lists the same functions.
cmake_minimum_required(VERSION 3.21)
set(public_functions
    QTVSolbelP
    edgemap_convert_file
    edgemap_convert_file_ex
    edgemap_convert_file_ex_w
    edgemap_convert_file_w
    edgemap_convert_memory
    edgemap_convert_memory_ex
    edgemap_detect
    edgemap_detect_mask
    edgemap_free
    edgemap_options_init
    edgemap_strerror
    edgemap_version)

# The names in a table of objdump -p, one "<index or hint> NAME" line each
# after the line matching `heading`, up to the first blank line. objdump
# prints the indices in brackets, which CMake lists take for nesting, so
# they go before the lines are split.
function(names_after heading text out)
  string(FIND "${text}" "${heading}" at)
  if(at EQUAL -1)
    set(${out} "" PARENT_SCOPE)
    return()
  endif()
  string(SUBSTRING "${text}" ${at} -1 text)
  string(REGEX MATCH "^[^\n]*\n(([ \t]+[^\n]+\n)*)" table "${text}")
  string(REGEX REPLACE "[][]" " " table "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "[^\n]*[ \t]([^ \t\n]+)\n" "\\1;" names "${table}")
  list(FILTER names EXCLUDE REGEX "^$")
  list(SORT names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

names_after("[Ordinal/Name Pointer] Table" "${dump}" exports)
if(NOT exports STREQUAL public_functions)
  message(FATAL_ERROR
          "${DLL} exports '${exports}', expected exactly '${public_functions}'")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${dump}")
set(allowed kernel32.dll msvcrt.dll user32.dll advapi32.dll ntdll.dll)
set(imports)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "DLL Name: " "" import "${line}")
  string(TOLOWER "${import}" import)
  list(APPEND imports ${import})
  list(FIND allowed ${import} found)
  if(found EQUAL -1 AND NOT import MATCHES "^api-ms-win-")
    message(FATAL_ERROR "${DLL} imports ${import}, not a system DLL")
  endif()
endforeach()

if(CONSUMER)
  execute_process(COMMAND ${OBJDUMP} -p ${CONSUMER} OUTPUT_VARIABLE dump
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${CONSUMER} failed")
  endif()
  # The names follow a "vma: Hint/Ord Member-Name" line under the DLL's.
  string(FIND "${dump}" "DLL Name: edgemap.dll\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${CONSUMER} imports nothing from edgemap.dll")
  endif()
  string(SUBSTRING "${dump}" ${at} -1 dump)
  names_after("Member-Name" "${dump}" imported)
  if(NOT imported STREQUAL public_functions)
    message(FATAL_ERROR "${CONSUMER} imports '${imported}' from edgemap.dll, "
                        "expected '${public_functions}'")
  endif()
endif()

if(DEF)
  file(STRINGS ${DEF} lines REGEX "^[ \t]+[A-Za-z_]")
  set(listed)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]+([A-Za-z_0-9]+).*" "\\1" name "${line}")
    list(APPEND listed ${name})
  endforeach()
  list(SORT listed)
  if(NOT listed STREQUAL public_functions)
    message(FATAL_ERROR "${DEF} lists '${listed}', expected '${public_functions}'")
  endif()
endif()
message(STATUS "${DLL}: exports ${exports}; imports ${imports}")
