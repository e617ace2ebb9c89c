# cmake -DEXAMPLE=photo_edges -DSOURCE=photo.jpg -DWORK=dir -DEMULATOR=a|b
#       -P photo_example.cmake
# The options example writes a 1-bit gray PNG of the source's size, and
# refuses a source that is no image with one line and exit status 1.
cmake_minimum_required(VERSION 3.21)
string(REPLACE "|" ";" emulator "${EMULATOR}")
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${emulator} ${EXAMPLE} ${SOURCE} ${WORK}/edges.png
                RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${EXAMPLE}: status ${status}: ${err}")
endif()
# Signature, IHDR: width and height of the source, depth 1, gray.
file(READ ${WORK}/edges.png head HEX LIMIT 26)
if(NOT head MATCHES "^89504e470d0a1a0a0000000d49484452000000a1000000780100$")
  message(FATAL_ERROR "not a 161 x 120 1-bit gray PNG: ${head}")
endif()
file(WRITE ${WORK}/text.jpg "not an image")
execute_process(COMMAND ${emulator} ${EXAMPLE} ${WORK}/text.jpg
                        ${WORK}/text.png
                RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 1 OR NOT err MATCHES
   "^photo_edges: [^\n]*text.jpg: the source is not a BMP, PNG, JPEG, TIFF or WebP image\r?\n$"
   OR EXISTS ${WORK}/text.png)
  message(FATAL_ERROR "a text file: status ${status}: ${err}")
endif()
