# ASan + UBSan for the whole tree when ZENTRA_SANITIZE is on; with ZENTRA_FUZZ (clang) the code is
# also instrumented for libFuzzer. Every target links zentra_sanitizers through zentra_warnings,
# so the flags live here only.
option(ZENTRA_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ZENTRA_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
# ThreadSanitizer for the session's threads (FreeRDP's session thread against the UI); it cannot
# be combined with AddressSanitizer.
option(ZENTRA_TSAN "Build with ThreadSanitizer" OFF)
add_library(zentra_sanitizers INTERFACE)
if(ZENTRA_SANITIZE)
  target_compile_options(zentra_sanitizers INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(zentra_sanitizers INTERFACE -fsanitize=address,undefined)
endif()
if(ZENTRA_TSAN)
  target_compile_options(zentra_sanitizers INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(zentra_sanitizers INTERFACE -fsanitize=thread)
endif()
if(ZENTRA_FUZZ)
  target_compile_options(zentra_sanitizers INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer)
  target_link_options(zentra_sanitizers INTERFACE -fsanitize=address,undefined)
endif()
target_link_libraries(zentra_warnings INTERFACE zentra_sanitizers)

# A libFuzzer target: zentra_add_fuzzer(NAME SOURCES ... DEPS ...). scripts/test runs each one for
# a bounded time.
add_custom_target(fuzz_all)
function(zentra_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT ZENTRA_FUZZ)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} zentra_warnings)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzzers)
  add_dependencies(fuzz_all ${name})
endfunction()
