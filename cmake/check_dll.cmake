# cmake -DOBJDUMP=... -DDLL=edgemap.dll -P check_dll.cmake
# Fails unless the DLL exports exactly QTVSolbelP, undecorated, and imports
# only from DLLs that come with Windows.
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(([ \t]+\\[[^\n]*\n)*)"
       table "${dump}")
string(REGEX MATCHALL "\\][ \t]+[^ \t\n]+" entries "${CMAKE_MATCH_1}")
set(exports)
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^\\][ \t]+" "" name "${entry}")
  list(APPEND exports ${name})
endforeach()
if(NOT exports STREQUAL "QTVSolbelP")
  message(FATAL_ERROR "${DLL} exports '${exports}', expected exactly 'QTVSolbelP'")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${dump}")
set(allowed kernel32.dll msvcrt.dll user32.dll advapi32.dll ntdll.dll)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "DLL Name: " "" import "${line}")
  string(TOLOWER "${import}" import)
  list(FIND allowed ${import} found)
  if(found EQUAL -1 AND NOT import MATCHES "^api-ms-win-")
    message(FATAL_ERROR "${DLL} imports ${import}, not a system DLL")
  endif()
endforeach()
message(STATUS "${DLL}: exports QTVSolbelP; imports ${lines}")
