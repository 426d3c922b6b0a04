# Settings every ledboard target shares, applied per target rather than through global flags.
option(LEDBOARD_WERROR "Treat compiler warnings as errors (CI turns this on)" OFF)
option(LEDBOARD_SANITIZE "Build every target with AddressSanitizer and UBSan" OFF)

set(LEDBOARD_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

function(ledboard_target_defaults target)
  target_compile_features(${target} PRIVATE cxx_std_20)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANG_AND_ID:CXX,GNU,Clang>:-Wall -Wextra -Wpedantic -Wshadow -Wconversion>
    $<$<COMPILE_LANG_AND_ID:C,GNU,Clang>:-Wall -Wextra -Wpedantic -Wshadow -Wconversion>)
  if(LEDBOARD_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(LEDBOARD_SANITIZE)
    ledboard_sanitize(${target})
  endif()
endfunction()

# Also used on its own for the sanitizer copy of the tool that the end-to-end suite runs.
function(ledboard_sanitize target)
  target_compile_options(${target} PRIVATE ${LEDBOARD_SANITIZER_FLAGS})
  target_link_options(${target} PRIVATE -fsanitize=address,undefined)
endfunction()
