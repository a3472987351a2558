# Test lanes: which tests a build has and how they run.
#
# x86_64: every test, under the system's Wine, in the prefix that scripts/test.sh makes
#   (WINEPREFIX in the environment).
# i686 (the 32-bit lane): the programs and scripts marked LANE32, under the 32-bit Wine that
#   scripts/setup-wine32.sh installs, in a prefix of their own that the lane's first test makes
#   and its last one shuts down. They are named "i686:<name>" and labelled lane32; each
#   GoogleTest program is one test (listing its cases first would start every program once
#   more under the emulator).
#
# The x86_64 build configured with NIMBO_I686_BUILD=<i686 build folder> (scripts/test.sh does
# that) runs the 32-bit lane in the same ctest:  ctest -L lane32  runs only the lane,
# ctest -LE lane32  runs everything else. The i686 build configured with
# NIMBO_X64_PACKAGE=<x86_64 build>/bin/NimboGuestAgents puts the X64 agent files into its test
# package, so that the lane installs from a whole package.
#
# Set here for the test folders:
#   NIMBO_TESTS      the build has tests
#   NIMBO_LANE32     this is the 32-bit lane
#   NIMBO_TEST_NAME  prefix of test and fixture names ("" or "i686:")
#   NIMBO_WINE       command that runs a Windows program of this build in its lane's prefix
#   nimbo_lane_test(<test>...)  puts tests into the lane (label, fixtures)
#   nimbo_gtest_tests(<program> <properties...>)  a GoogleTest program's tests

set(NIMBO_TESTS OFF)
set(NIMBO_LANE32 OFF)
set(NIMBO_TEST_NAME "")
set(NIMBO_WINE wine)

if(NIMBO_ARCH STREQUAL "i686")
  if(DEFINED ENV{NIMBO_WINE32_ROOT})
    set(wine32_default $ENV{NIMBO_WINE32_ROOT}/bin/wine)
  else()
    set(wine32_default /opt/nimbo-wine32/bin/wine)
  endif()
  set(NIMBO_WINE32 ${wine32_default} CACHE FILEPATH
      "The 32-bit Wine loader of the 32-bit test lane (scripts/setup-wine32.sh installs it)")
  if(NIMBO_BUILD_TESTS AND EXISTS ${NIMBO_WINE32})
    set(NIMBO_TESTS ON)
    set(NIMBO_LANE32 ON)
  elseif(NIMBO_BUILD_TESTS)
    message(WARNING "No 32-bit Wine at ${NIMBO_WINE32} (scripts/setup-wine32.sh): "
                    "the i686 build has no tests")
  endif()
elseif(NIMBO_BUILD_TESTS)
  set(NIMBO_TESTS ON)
endif()

function(nimbo_lane_test)
  if(NIMBO_LANE32)
    foreach(test IN LISTS ARGN)
      set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED lane32_prefix)
      set_property(TEST ${test} APPEND PROPERTY LABELS lane32)
    endforeach()
  endif()
endfunction()

if(NIMBO_LANE32)
  enable_testing()
  set(NIMBO_TEST_NAME "i686:")
  set(lane_prefix ${CMAKE_BINARY_DIR}/wineprefix-test)
  # Runs a program in the lane's prefix; also the way to run one by hand:
  #   build/i686/wine32 tests/bin/<program>.exe --gtest_filter=<Suite.Case>
  set(NIMBO_WINE ${CMAKE_BINARY_DIR}/wine32)
  file(CONFIGURE OUTPUT ${NIMBO_WINE} CONTENT [[#!/bin/sh
# Runs a Windows program of this build under the 32-bit Wine, in the 32-bit lane's prefix.
export WINEPREFIX='@lane_prefix@'
export WINEDEBUG=${WINEDEBUG:--all}
exec '@NIMBO_WINE32@' "$@"
]] @ONLY)
  file(CHMOD ${NIMBO_WINE} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  # Test programs of this build run through it (add_test with a target as the command).
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NIMBO_WINE})

  set(prefix_script ${CMAKE_SOURCE_DIR}/scripts/lane32-prefix.sh)
  add_test(NAME i686:wine_prefix COMMAND bash ${prefix_script} start ${lane_prefix} ${NIMBO_WINE32})
  add_test(NAME i686:wine_prefix_stop COMMAND bash ${prefix_script} stop ${lane_prefix} ${NIMBO_WINE32})
  set_tests_properties(i686:wine_prefix PROPERTIES FIXTURES_SETUP lane32_prefix LABELS lane32 TIMEOUT 300)
  set_tests_properties(i686:wine_prefix_stop PROPERTIES FIXTURES_CLEANUP lane32_prefix LABELS lane32)
endif()

# The x86_64 build's ctest also runs the tests of the i686 build folder (when it has any).
if(NIMBO_TESTS AND NOT NIMBO_LANE32 AND NIMBO_I686_BUILD)
  enable_testing()
  set(lane32_include ${CMAKE_BINARY_DIR}/lane32.cmake)
  file(WRITE ${lane32_include}
       "if(EXISTS \"${NIMBO_I686_BUILD}/CTestTestfile.cmake\")\n"
       "  subdirs(\"${NIMBO_I686_BUILD}\")\n"
       "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${lane32_include})
endif()

# nimbo_gtest_tests(<program> <test properties...>): a GoogleTest program's tests in this
# build's lane: one test per case in the x86_64 build, one per program in the 32-bit lane.
function(nimbo_gtest_tests target)
  if(NIMBO_LANE32)
    add_test(NAME i686:${target} COMMAND ${target})
    set_tests_properties(i686:${target} PROPERTIES ${ARGN} TIMEOUT 600)
    nimbo_lane_test(i686:${target})
  else()
    include(GoogleTest)
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${ARGN})
  endif()
endfunction()
