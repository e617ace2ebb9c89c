# The fused edge detector, compiled once per instruction set it can use.
# Each variant is its own translation unit with its own flags; the
# dispatcher in detect_edges.cpp (baseline flags) asks the processor which
# of them it may run. EDGEMAP_SCALAR_ONLY keeps only the portable build.
option(EDGEMAP_SCALAR_ONLY "Build only the portable edge kernel" OFF)

set(_edgemap_kernel_dir ${PROJECT_SOURCE_DIR}/src/edges)
target_sources(edgemap_core PRIVATE ${_edgemap_kernel_dir}/kernel_portable.cpp)
set(_edgemap_kernel_sources ${_edgemap_kernel_dir}/kernel_portable.cpp)

# Variants live by instruction set: x86/kernel_avx2.cpp, arm/kernel_neon.cpp.
function(edgemap_kernel_variant arch name define)
  set(source ${_edgemap_kernel_dir}/${arch}/kernel_${name}.cpp)
  target_sources(edgemap_core PRIVATE ${source})
  set_property(SOURCE ${source} APPEND PROPERTY COMPILE_OPTIONS ${ARGN})
  target_compile_definitions(edgemap_core PRIVATE ${define})
  set(_edgemap_kernel_sources ${_edgemap_kernel_sources} ${source}
      PARENT_SCOPE)
endfunction()

string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" _edgemap_cpu)
if(NOT EDGEMAP_SCALAR_ONLY AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  if(CMAKE_SYSTEM_NAME STREQUAL "Emscripten")
    # A WebAssembly module validates whole or not at all: the SIMD build is
    # a module of its own, loaded only where the engine has SIMD, and the
    # scalar one is EDGEMAP_SCALAR_ONLY.
    edgemap_kernel_variant(wasm simd128 EDGEMAP_KERNEL_SIMD128 -msimd128)
  elseif(_edgemap_cpu MATCHES "^(x86_64|amd64|x64)$")
    edgemap_kernel_variant(x86 sse41 EDGEMAP_KERNEL_SSE41 -mssse3 -msse4.1)
    edgemap_kernel_variant(x86 avx2 EDGEMAP_KERNEL_AVX2
      -mavx2 -mfma -mbmi -mbmi2)
    set(_edgemap_avx512 -mavx2 -mfma -mbmi -mbmi2
      -mavx512f -mavx512bw -mavx512vl -mavx512dq -mprefer-vector-width=512)
    edgemap_kernel_variant(x86 avx512 EDGEMAP_KERNEL_AVX512 ${_edgemap_avx512})
    edgemap_kernel_variant(x86 avx512vbmi EDGEMAP_KERNEL_AVX512VBMI
      ${_edgemap_avx512} -mavx512vbmi)
  elseif(_edgemap_cpu MATCHES "^(aarch64|arm64)$")
    # NEON is part of the 64-bit ARM baseline: the intrinsics need no flag,
    # and the variant is always chosen.
    edgemap_kernel_variant(arm neon EDGEMAP_KERNEL_NEON)
  elseif(_edgemap_cpu MATCHES "^arm")
    # 32-bit ARM may lack NEON: only this file is built for it, and the
    # processor's hardware capabilities decide.
    edgemap_kernel_variant(arm neon EDGEMAP_KERNEL_NEON -mfpu=neon)
  endif()
endif()

# Kernels are worth -O3 (full vectorisation) in every optimised build.
# Their scratch memory is the caller's: a frame of more than 16 KiB is a
# warning, an error in CI (the kernel tests measure whole calls too).
set_property(SOURCE ${_edgemap_kernel_sources} APPEND PROPERTY COMPILE_OPTIONS
  $<$<AND:$<CXX_COMPILER_ID:GNU,Clang>,$<NOT:$<CONFIG:Debug>>>:-O3>
  $<$<CXX_COMPILER_ID:GNU>:-Wstack-usage=16384>
  $<$<CXX_COMPILER_ID:Clang>:-Wframe-larger-than=16384>)
