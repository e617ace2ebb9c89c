# A fuzzing build: every target of the project gets libFuzzer's coverage
# instrumentation, AddressSanitizer and UBSan, and the harnesses under
# fuzz/ link libFuzzer's driver. Needs clang.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "EDGEMAP_FUZZ needs clang (CXX=clang++ CC=clang)")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
  -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
add_link_options(-fsanitize=address,undefined)
