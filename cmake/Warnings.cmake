# Warning flags for our own code; third-party headers come in as SYSTEM includes.
add_library(zentra_warnings INTERFACE)
target_compile_options(zentra_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror
  -Wno-missing-field-initializers)
