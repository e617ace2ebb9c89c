# cmake -DCLI=edgemap -DEMULATOR=a|b|c -DWORK=dir -P cli_paths.cmake
# The CLI takes file names outside ASCII (and outside any ANSI code page)
# from its command line, for writing and for reading. EMULATOR is the
# cross-compiling emulator with | between its words, or empty.
cmake_minimum_required(VERSION 3.21)
string(REPLACE "|" ";" emulator "${EMULATOR}")
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(target "目标-Ж-😀.bmp")

function(run_cli expected_output)
  execute_process(COMMAND ${emulator} ${CLI} ${ARGN}
                  WORKING_DIRECTORY ${WORK}
                  OUTPUT_VARIABLE out RESULT_VARIABLE status)
  string(REPLACE "\r\n" "\n" out "${out}")
  if(NOT out STREQUAL expected_output OR NOT status EQUAL 1)
    message(FATAL_ERROR "edgemap ${ARGN}: status ${status}, output:\n${out}")
  endif()
endfunction()

# A missing source still writes the (empty) target under its exact name.
run_cli("fopen fp_s error\nfile size = 0\nsize = 0.000000\n"
        "missing-Ж.bmp" "${target}")
if(NOT EXISTS "${WORK}/${target}")
  file(GLOB made RELATIVE ${WORK} ${WORK}/*)
  message(FATAL_ERROR "no file named ${target}; found: ${made}")
endif()
# The same name opens for reading: an empty file has no header.
run_cli("fread fp_s error\nfile size = 0\nsize = 0.000000\n"
        "${target}" "again.bmp")

# The same 300 and more characters deep, by a relative path. Windows needs
# the \\?\ form for that; Wine takes any form, so there this shows only
# that edgemap.exe's way through the file layer breaks nothing.
set(deep "")
foreach(level RANGE 6)
  string(APPEND deep "folder-${level}-Ж-0123456789012345678901234567890123456789/")
endforeach()
file(MAKE_DIRECTORY "${WORK}/${deep}")
string(LENGTH "${deep}" length)
if(length LESS 300)
  message(FATAL_ERROR "the deep folder is only ${length} characters")
endif()
run_cli("fopen fp_s error\nfile size = 0\nsize = 0.000000\n"
        "missing.bmp" "${deep}${target}")
run_cli("fread fp_s error\nfile size = 0\nsize = 0.000000\n"
        "${deep}${target}" "${deep}again.bmp")
if(NOT EXISTS "${WORK}/${deep}again.bmp")
  message(FATAL_ERROR "no file ${deep}again.bmp")
endif()
file(REMOVE_RECURSE ${WORK})
