# Warning flags for our own code; third-party headers come in as SYSTEM includes.
# Warnings are errors only where we develop (the default, asan and fuzz presets turn
# ZENTRA_WARNINGS_AS_ERRORS on): a packager's or a user's own Release build with a newer compiler
# must not fail on a warning that compiler has learnt since.
option(ZENTRA_WARNINGS_AS_ERRORS "Treat compiler warnings as errors (development presets)" OFF)
add_library(zentra_warnings INTERFACE)
target_compile_options(zentra_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wno-missing-field-initializers
  $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual>
  $<$<BOOL:${ZENTRA_WARNINGS_AS_ERRORS}>:-Werror>)
