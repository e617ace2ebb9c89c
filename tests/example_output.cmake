# cmake -DEXAMPLE=convert_memory -DCLI=edgemap -DSOURCE=file -DWORK=dir
#       -DEMULATOR=a|b|c -P example_output.cmake
# The memory example exits 0, says what it wrote, and wrote the bytes the
# command-line tool writes for the same source. EMULATOR is the
# cross-compiling emulator with | between its words, or empty.
cmake_minimum_required(VERSION 3.21)
string(REPLACE "|" ";" emulator "${EMULATOR}")
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

execute_process(COMMAND ${emulator} ${EXAMPLE} ${SOURCE} ${WORK}/memory.bmp
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
file(SIZE ${SOURCE} size)
if(NOT status EQUAL 0 OR NOT out MATCHES "^wrote ${size} bytes\r?\n$")
  message(FATAL_ERROR "${EXAMPLE}: status ${status}, output:\n${out}${err}")
endif()
execute_process(COMMAND ${emulator} ${CLI} ${SOURCE} ${WORK}/cli.bmp
                OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${CLI}: status ${status}")
endif()
file(SHA256 ${WORK}/memory.bmp memory)
file(SHA256 ${WORK}/cli.bmp cli)
if(NOT memory STREQUAL cli)
  message(FATAL_ERROR "the example's bytes differ from the command line's")
endif()
