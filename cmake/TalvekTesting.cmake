# talvek_add_gtest(NAME SOURCES src... LIBS lib...)
# Builds one GoogleTest executable and registers its tests with CTest. Every test runs with its
# own configuration and runtime folders, so no test ever touches the user's registry store.
function(talvek_add_gtest name)
  if(NOT TALVEK_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} talvek_testsupport GTest::gtest GTest::gmock
                                        GTest::gtest_main)
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
    PROPERTIES ENVIRONMENT "TALVEK_SOURCE_DIR=${CMAKE_SOURCE_DIR};TALVEK_BIN_DIR=${TALVEK_OUTPUT_DIR}"
    DISCOVERY_TIMEOUT 60)
endfunction()

# talvek_add_benchmark(NAME SOURCES src... LIBS lib...)
function(talvek_add_benchmark name)
  if(NOT TALVEK_BUILD_BENCHMARKS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark benchmark::benchmark_main)
endfunction()
