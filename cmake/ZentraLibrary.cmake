# One static library per source folder: zentra_add_library(NAME SOURCES ... DEPS ...).
# Libraries see the src/ root as their include root, so includes read "shell/form.h".
function(zentra_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE zentra_warnings)
endfunction()

# A test executable registered with CTest:
#   zentra_add_test(NAME SOURCES ... DEPS ... [LABELS ...] [RUN_WITH command args...])
# RUN_WITH runs the tests (and their discovery) through a wrapper such as tests/support/netns-run.
function(zentra_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS;RUN_WITH" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} $<TARGET_OBJECTS:zentra_resources>)
  if(ZENTRA_TSAN)
    # Child processes started as Qt starts them, without blinding the sanitizer (the file says how).
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/tsanspawn.cpp)
    target_link_libraries(${name} PRIVATE ${CMAKE_DL_LIBS})
    add_dependencies(tsan_tests ${name})
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} zentra_test_support zentra_warnings)
  if(ARG_RUN_WITH)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "${ARG_RUN_WITH}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${ARG_LABELS}" ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
