# Warnings as errors on our own targets only, and an optional sanitizer for the whole build.

set(SANITIZER "" CACHE STRING "Sanitizer to build with: address, undefined or thread")
set_property(CACHE SANITIZER PROPERTY STRINGS "" address undefined thread)

if(SANITIZER)
  if(NOT SANITIZER MATCHES "^(address|undefined|thread)$")
    message(FATAL_ERROR "SANITIZER must be address, undefined or thread, not '${SANITIZER}'")
  endif()
  add_compile_options(-fsanitize=${SANITIZER} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${SANITIZER})
  if(SANITIZER STREQUAL "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# suite_target_warnings(<target>): the warning set of our own code.
function(suite_target_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Werror)
endfunction()

# suite_add_gtest(<name> LABEL <label> SOURCES ... LIBS ... [QT_MAIN]): one test program, its
# cases registered with CTest under a label that sets the timeout. QT_MAIN runs the cases
# inside a QApplication (tests/support/qt_main.cpp) instead of GoogleTest's own main.
set(SUITE_TIMEOUT_unit 60)
set(SUITE_TIMEOUT_integration 180)
set(SUITE_TIMEOUT_gui 120)
set(SUITE_TIMEOUT_db 300)
set(SUITE_TIMEOUT_wine 300)
function(suite_add_gtest name)
  cmake_parse_arguments(T "QT_MAIN" "LABEL" "SOURCES;LIBS" ${ARGN})
  if(T_QT_MAIN)
    add_executable(${name} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/qt_main.cpp)
    target_link_libraries(${name} PRIVATE ${T_LIBS} Qt6::Widgets GTest::gtest GTest::gmock)
  else()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  endif()
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  suite_target_warnings(${name})
  include(GoogleTest)
  gtest_discover_tests(${name}
    PROPERTIES LABELS ${T_LABEL} TIMEOUT ${SUITE_TIMEOUT_${T_LABEL}}
               ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
               # a modem escape that does not slow the tests (the simulator reads it too)
               ENVIRONMENT_MODIFICATION "VM418_MODEM_GUARD_MS=set:20"
    DISCOVERY_TIMEOUT 30)
endfunction()
