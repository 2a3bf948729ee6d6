# Test harness: every Windows program runs under Wine in a prefix that this build tree owns.

set(LODESTAR_TEST_TIMEOUT 120 CACHE STRING "Seconds any single test may run")

# The emulator CMake puts in front of every test program: fixes the prefix, silences Wine.
configure_file(${PROJECT_SOURCE_DIR}/scripts/wine-run.in ${PROJECT_BINARY_DIR}/wine-run
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE
               @ONLY)
set(LODESTAR_WINE_RUN ${PROJECT_BINARY_DIR}/wine-run)
if(WIN32)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LODESTAR_WINE_RUN})
endif()

# Makes the prefix and starts the one persistent wineserver before any test, stops it after all.
function(lodestar_add_wine_fixture)
  add_test(NAME wine.start COMMAND ${LODESTAR_WINE_RUN} --start-server)
  set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 180)
  add_test(NAME wine.stop COMMAND ${LODESTAR_WINE_RUN} --stop-server)
  set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
endfunction()

# A test program run under Wine; extra arguments after NAME and TARGET are passed to it.
function(lodestar_add_wine_test name target)
  add_test(NAME ${name} COMMAND ${target} ${ARGN})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT ${LODESTAR_TEST_TIMEOUT})
endfunction()

# A GoogleTest program, one test: unit.<name> under Wine in the Windows build, native.<name> in the
# native Linux build. SOURCES default to tests/unit/<name>.cpp.
function(lodestar_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT ARG_SOURCES)
    set(ARG_SOURCES ${PROJECT_SOURCE_DIR}/tests/unit/${name}.cpp)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} lodestar_sources GTest::gtest GTest::gtest_main)
  if(WIN32)
    lodestar_add_wine_test(unit.${name} ${name})
  else()
    add_test(NAME native.${name} COMMAND ${name})
    set_tests_properties(native.${name} PROPERTIES TIMEOUT ${LODESTAR_TEST_TIMEOUT})
  endif()
endfunction()

# A script test run on the Linux side (end-to-end checks driving Windows programs through Wine).
function(lodestar_add_script_test name script)
  add_test(NAME ${name} COMMAND bash ${script} ${ARGN})
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED wine TIMEOUT ${LODESTAR_TEST_TIMEOUT}
    ENVIRONMENT "LODESTAR_WINE_RUN=${LODESTAR_WINE_RUN};LODESTAR_BUILD_DIR=${PROJECT_BINARY_DIR};LODESTAR_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
