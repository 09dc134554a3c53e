# GoogleTest: the system package natively; built from Debian's source package
# (/usr/src/googletest) when cross-compiling for Windows, and on request
# (sanitizer builds, where the library must carry the same instrumentation).
option(VELA_GTEST_FROM_SOURCE "Build GoogleTest from /usr/src/googletest" OFF)
if(CMAKE_CROSSCOMPILING OR VELA_GTEST_FROM_SOURCE)
  if(NOT TARGET gtest)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
  endif()
  set(VELA_GTEST_LIBS gtest gmock gtest_main)
  if(NOT CMAKE_CROSSCOMPILING)
    include(GoogleTest)
  endif()
else()
  find_package(GTest REQUIRED)
  include(GoogleTest)
  set(VELA_GTEST_LIBS GTest::gtest GTest::gmock GTest::gtest_main)
endif()

# Tests that link only the pure libraries (no I/O beyond the platform seam
# they may still pull in) get the label "pure" and belong to the target
# pure_tests: what the sanitizer build (preset asan) builds and runs.
set(VELA_PURE_LIBS vela_common vela_coding vela_pdu vela_at)
if(NOT TARGET pure_tests)
  add_custom_target(pure_tests)
endif()

# Native builds register each test case with ctest, or with
# VELA_TESTS_PER_EXECUTABLE (the sanitizer build) each executable once.
option(VELA_TESTS_PER_EXECUTABLE "Register each test executable as one test" OFF)

# vela_add_gtest(NAME name SOURCES ... LIBS ... [LABELS ...])
# Native builds register each test case with ctest; cross builds register the
# executable once and run it through CMAKE_CROSSCOMPILING_EMULATOR (wine).
# Test code is compiled without optimisation: it is most of what a build
# compiles, and -O2 with full debug information costs it about 2.5 times the
# compile time for nothing the tests need. The libraries under test keep the
# configuration's flags.
if(CMAKE_CROSSCOMPILING)
  set(VELA_TEST_CXX_FLAGS "-O0" CACHE STRING "Compile options of test sources")
else()
  set(VELA_TEST_CXX_FLAGS "-O0;-g1" CACHE STRING "Compile options of test sources")
endif()

function(vela_add_gtest)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} ${VELA_GTEST_LIBS})
  target_compile_options(${T_NAME} PRIVATE ${VELA_TEST_CXX_FLAGS})
  vela_warnings(${T_NAME})
  set(pure FALSE)
  foreach(lib IN LISTS T_LIBS)
    if(lib IN_LIST VELA_PURE_LIBS)
      set(pure TRUE)
    elseif(NOT lib STREQUAL "vela_platform")
      set(pure FALSE)
      break()
    endif()
  endforeach()
  if(pure)
    list(APPEND T_LABELS pure)
    add_dependencies(pure_tests ${T_NAME})
  endif()
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT 300 LABELS "windows;${T_LABELS}")
  elseif(VELA_TESTS_PER_EXECUTABLE)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT 600 LABELS "${T_LABELS}")
  else()
    # One label per test case: gtest_discover_tests does not keep a list of labels.
    list(GET T_LABELS 0 label)
    gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 LABELS "${label}")
  endif()
endfunction()
