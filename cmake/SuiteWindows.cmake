# Windows libraries are cross-built with MinGW-w64 in sub-builds of their own, one per
# architecture, so a change to host code never rebuilds them; their tests run under Wine in
# one private prefix per build tree, created by the tests themselves.
include_guard(GLOBAL)
include(ExternalProject)

# Cached: every folder that uses the helpers below sees them, not only the first to include this.
set(SUITE_WINE64 /usr/lib/wine/wine64 CACHE INTERNAL "Wine loader of 64-bit programs")
set(SUITE_WINE32 /usr/lib/wine/wine CACHE INTERNAL "Wine loader of 32-bit programs")

# suite_add_windows_build(<name> SOURCE_DIR <dir>): builds the CMake project in <dir> for x86
# and x64 into ${CMAKE_CURRENT_BINARY_DIR}/x86 and .../x64, as targets <name>-x86, <name>-x64.
function(suite_add_windows_build name)
  cmake_parse_arguments(W "" "SOURCE_DIR" "" ${ARGN})
  set(launcher "")
  if(CCACHE_PROGRAM)
    set(launcher -DCMAKE_C_COMPILER_LAUNCHER=${CCACHE_PROGRAM}
                 -DCMAKE_CXX_COMPILER_LAUNCHER=${CCACHE_PROGRAM})
  endif()
  foreach(arch x86 x64)
    if(arch STREQUAL "x86")
      set(mingw i686)
    else()
      set(mingw x86_64)
    endif()
    set(binary ${CMAKE_CURRENT_BINARY_DIR}/${arch})
    ExternalProject_Add(${name}-${arch}
      SOURCE_DIR ${W_SOURCE_DIR}
      BINARY_DIR ${binary}
      CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${CMAKE_CURRENT_FUNCTION_LIST_DIR}/MinGW-w64.cmake
        -DSUITE_MINGW_ARCH=${mingw}
        -DCMAKE_BUILD_TYPE=Release
        ${launcher}
      # One job each: the two architectures already build side by side with the host build.
      BUILD_COMMAND ${CMAKE_COMMAND} --build ${binary} -j 1
      INSTALL_COMMAND ""
      # The sub-build's own Ninja decides what is out of date; it is a no-op when nothing is.
      BUILD_ALWAYS ON)
  endforeach()
endfunction()

# The fixture "wine": its set-up creates the prefix (once per build tree) and starts a
# persistent wineserver, its clean-up stops the server.
function(suite_wine_fixture)
  get_property(done GLOBAL PROPERTY SUITE_WINE_FIXTURE)
  if(done)
    return()
  endif()
  set_property(GLOBAL PROPERTY SUITE_WINE_FIXTURE ON)
  set(script ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/wine-prefix.sh)
  add_test(NAME wine_prefix_setup COMMAND ${script} setup ${SUITE_WINEPREFIX})
  add_test(NAME wine_prefix_cleanup COMMAND ${script} cleanup ${SUITE_WINEPREFIX})
  set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP wine)
  set_tests_properties(wine_prefix_cleanup PROPERTIES FIXTURES_CLEANUP wine)
  set_tests_properties(wine_prefix_setup wine_prefix_cleanup
    PROPERTIES LABELS wine TIMEOUT ${SUITE_TIMEOUT_wine})
endfunction()
set(SUITE_WINEPREFIX ${CMAKE_BINARY_DIR}/wine-prefix CACHE INTERNAL "Private Wine prefix")

# suite_add_wine_test(<name> ARCH x86|x64 COMMAND <program.exe> [args...]): runs a Windows
# program of the cross-build under Wine; its exit code is the test's result.
function(suite_add_wine_test name)
  cmake_parse_arguments(W "" "ARCH" "COMMAND" ${ARGN})
  suite_wine_fixture()
  if(W_ARCH STREQUAL "x86")
    # Skipped, saying so, on a kernel that cannot run 32-bit programs.
    add_test(NAME ${name}
      COMMAND ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/wine-run32.sh ${SUITE_WINE32} ${W_COMMAND})
    set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
  else()
    add_test(NAME ${name} COMMAND ${SUITE_WINE64} ${W_COMMAND})
  endif()
  set_tests_properties(${name} PROPERTIES
    LABELS wine TIMEOUT ${SUITE_TIMEOUT_wine} FIXTURES_REQUIRED wine
    ENVIRONMENT "WINEPREFIX=${SUITE_WINEPREFIX};WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=")
endfunction()

# suite_add_export_tests(<prefix> DLL <file.dll> DEF <file.def>): tests <prefix>_x86 and
# <prefix>_x64 check that the DLL of each build exports exactly the .def file's functions,
# undecorated, with its ordinals.
function(suite_add_export_tests prefix)
  cmake_parse_arguments(E "" "DLL;DEF" "" ${ARGN})
  foreach(arch x86 x64)
    if(arch STREQUAL "x86")
      set(objdump i686-w64-mingw32-objdump)
    else()
      set(objdump x86_64-w64-mingw32-objdump)
    endif()
    add_test(NAME ${prefix}_${arch}
      COMMAND ${CMAKE_COMMAND} -DLIBRARY=${CMAKE_CURRENT_BINARY_DIR}/${arch}/${E_DLL}
              -DTOOL=${objdump} -DFORMAT=pe -DDEF=${E_DEF}
              -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/check_exports.cmake)
    set_tests_properties(${prefix}_${arch} PROPERTIES LABELS unit TIMEOUT ${SUITE_TIMEOUT_unit})
  endforeach()
endfunction()
