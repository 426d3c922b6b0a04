# Settings every ledboard target shares, applied per target rather than through global flags.
option(LEDBOARD_WERROR "Treat compiler warnings as errors (CI turns this on)" OFF)
option(LEDBOARD_SANITIZE "Build every target with AddressSanitizer and UBSan" OFF)

function(ledboard_target_defaults target)
  get_target_property(sources ${target} SOURCES)
  if(sources MATCHES "\\.cpp")
    target_compile_features(${target} PRIVATE cxx_std_20)
    set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
  endif()
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion)
  if(LEDBOARD_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(LEDBOARD_SANITIZE)
    target_compile_options(${target} PRIVATE
      -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

# For the tool's own code: no exceptions, so that nothing needs libstdc++'s unwinding support and
# the program starts without loading the C++ runtime library.
function(ledboard_without_cxx_runtime target)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions>)
endfunction()
