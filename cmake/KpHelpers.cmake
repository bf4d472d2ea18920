# Build helpers shared by every component.
include(${CMAKE_CURRENT_LIST_DIR}/KpGtestSuites.cmake)

# Code that runs in the kernel: no exceptions, no RTTI, strict floating point.
function(kp_kernel_code target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-fast-math)
endfunction()

# kp_add_gtest(name SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS unit] [NO_MAIN]
#              [SINGLE_THREADED | THREADED_TESTS gtest-filter] [ALONE c.cpp ...])
# One GoogleTest executable, registered with CTest.  A program labelled unit
# is registered suite by suite (KpGtestSuites.cmake: most of a unit test's
# time is starting its program); the others, whose tests are long simulated
# runs, test by test, so that CTest spreads their tests over the cores.
#
# A program's test files are compiled in batches of eight, one compiler run
# each (a unity build): most of a test file's compile time is the GoogleTest
# headers, paid once per batch instead of once per file.  Files named under
# ALONE are compiled on their own, because a name of their file scope clashes
# with another file's of the same program.
#
# A slow program (LABELS slow) is built and registered only with KP_SLOW_TESTS,
# on by default: the check turns it off in the sanitizer presets, which would
# compile the slow programs only to leave them unrun (the optimised build
# still compiles them).
#
# Test programs run threads unless they say otherwise (the stand-in kernel's
# system threads, work items and timers count).  SINGLE_THREADED marks a
# program of pure computation; THREADED_TESTS names, as a GoogleTest filter,
# the few tests of an otherwise single-threaded program that do run threads.
# The ThreadSanitizer build registers only the tests with threads: in
# single-threaded computation it can find nothing and would spend most of its
# time there (every other build runs every test).  The mark is kept by
# registration rather than by a second CTest label, which the test discovery
# of this CMake version does not pass on.
function(kp_add_gtest name)
  cmake_parse_arguments(ARG "NO_MAIN;SINGLE_THREADED" "THREADED_TESTS" "SOURCES;LIBS;LABELS;ALONE" ${ARGN})
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kp_add_gtest(${name}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
  if(ARG_ALONE)
    set_source_files_properties(${ARG_ALONE} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock)
  # Under AddressSanitizer a program's own test files are compiled without
  # the undefined-behaviour checks, which double a test file's compile time
  # (GoogleTest's macros are mostly checked arithmetic and calls).  They are
  # there for the product: its libraries and the test support keep them.
  if(KP_SANITIZE STREQUAL "address")
    target_compile_options(${name} PRIVATE -fno-sanitize=undefined)
  endif()
  # In the optimised build a program's own test files are compiled at -O1: a
  # third less compile time than -O2, and what they run fast is the product's
  # code and the references of the test support, which keep the build's level.
  target_compile_options(${name} PRIVATE $<$<CONFIG:RelWithAsserts>:-O1>)
  if(NOT ARG_NO_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  else()
    target_link_libraries(${name} PRIVATE GTest::gtest)
  endif()
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  set(filter "")
  if(KP_SANITIZE STREQUAL "thread" AND ARG_THREADED_TESTS)
    set(filter "${ARG_THREADED_TESTS}")
  endif()
  if(("slow" IN_LIST ARG_LABELS AND NOT KP_SLOW_TESTS) OR
     (KP_SANITIZE STREQUAL "thread" AND ARG_SINGLE_THREADED AND NOT ARG_THREADED_TESTS))
    # Built on request only, and not registered.
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL ON)
    return()
  endif()
  # Tests run in the build folder: whatever one leaves behind by mistake lands
  # there, never in the checkout.
  if("unit" IN_LIST ARG_LABELS)
    kp_gtest_add_suites(${name} FILTER "${filter}" LABELS ${ARG_LABELS})
    return()
  endif()
  if(NOT filter STREQUAL "")
    set(filter TEST_FILTER "${filter}")
  endif()
  # A slow program often runs a check program's tests again with more rounds.
  # CTest keeps one set of properties per test name, so without a prefix the
  # check's own copies would take the slow label and never run in the check.
  set(prefix "")
  if("slow" IN_LIST ARG_LABELS)
    set(prefix TEST_PREFIX "slow:")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST ${filter} ${prefix}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES LABELS "${ARG_LABELS}")
endfunction()

# kp_sources_listed(target folder ... [ALSO target ...])
# Sources are listed by name.  A .cpp file in one of the folders that is not in
# the target's list fails the configure, instead of being left out of the build
# without a word; a file added later makes the next build configure again.
# ALSO names further targets whose lists share the folders (a folder holding
# the files of two programs).
function(kp_sources_listed target)
  cmake_parse_arguments(ARG "" "" "ALSO" ${ARGN})
  set(listed "")
  foreach(t IN ITEMS ${target} ${ARG_ALSO})
    get_target_property(base ${t} SOURCE_DIR)
    get_target_property(sources ${t} SOURCES)
    foreach(source IN LISTS sources)
      get_filename_component(path "${source}" ABSOLUTE BASE_DIR "${base}")
      list(APPEND listed "${path}")
    endforeach()
  endforeach()
  foreach(folder IN LISTS ARG_UNPARSED_ARGUMENTS)
    get_filename_component(folder "${folder}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    file(GLOB present CONFIGURE_DEPENDS "${folder}/*.cpp")
    foreach(file IN LISTS present)
      if(NOT file IN_LIST listed)
        message(FATAL_ERROR "${file} is not in the sources of ${target}: "
                            "list it in ${CMAKE_CURRENT_LIST_FILE}")
      endif()
    endforeach()
  endforeach()
endfunction()
