# Warnings and sanitizers for the project's own targets, never for consumers.
function(edgemap_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${EDGEMAP_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
      -Wconversion -Wshadow $<$<BOOL:${EDGEMAP_WERROR}>:-Werror>)
  endif()
  if(EDGEMAP_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined
      -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()
