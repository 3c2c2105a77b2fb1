# Included, right after project(), by a component folder configured on its own with the
# MinGW-w64 toolchain (the host build's Windows sub-builds): the suite's language level and
# warnings, and every program beside the DLLs so that it finds them by name.
if(NOT WIN32)
  message(FATAL_ERROR "Configured on its own, this folder builds Windows DLLs: "
                      "use -DCMAKE_TOOLCHAIN_FILE=cmake/MinGW-w64.cmake")
endif()
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
include(${CMAKE_CURRENT_LIST_DIR}/SuiteOptions.cmake)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
# The tests' shared helpers for Windows programs.
set(SUITE_TEST_SUPPORT_DIR ${CMAKE_CURRENT_LIST_DIR}/../tests/support)
