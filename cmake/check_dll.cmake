# cmake -DOBJDUMP=... -DDLL=edgemap.dll [-DCONSUMER=prog.exe] -P check_dll.cmake
# Fails unless the DLL exports exactly QTVSolbelP, undecorated, and imports
# only from DLLs that come with Windows, and unless CONSUMER, linked against
# the import library, imports QTVSolbelP by that name from edgemap.dll.
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
  if(NOT status EQUAL 0 OR NOT dump MATCHES
     "DLL Name: edgemap\\.dll\n[^\n]*\n[ \t]*[0-9a-f]+[ \t]+[0-9]+[ \t]+QTVSolbelP\n")
    message(FATAL_ERROR "${CONSUMER} does not import QTVSolbelP from edgemap.dll")
  endif()
endif()
message(STATUS "${DLL}: exports QTVSolbelP; imports ${imports}")
