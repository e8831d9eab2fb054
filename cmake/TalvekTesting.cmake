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

# talvek_add_qttest(NAME SOURCES src... LIBS lib...)
# Builds one Qt Test executable (widgets run on the offscreen platform) and registers it with CTest.
function(talvek_add_qttest name)
  if(NOT TALVEK_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} talvek_testsupport Qt6::Test Qt6::Widgets)
  add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT
    "QT_QPA_PLATFORM=offscreen;TALVEK_SOURCE_DIR=${CMAKE_SOURCE_DIR};TALVEK_BIN_DIR=${TALVEK_OUTPUT_DIR}")
endfunction()

# talvek_add_fuzzer(NAME SOURCES src... LIBS lib...)
# Builds one libFuzzer target (the fuzz build, TALVEK_FUZZ=ON, only). Its seed corpus lives in
# the source folder's corpus/NAME; scripts/fuzz.sh finds both by that name.
function(talvek_add_fuzzer name)
  if(NOT TALVEK_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
endfunction()
