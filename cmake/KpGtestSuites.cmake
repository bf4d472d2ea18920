# One CTest test per GoogleTest suite.
#
# A program of many short tests is registered suite by suite rather than test
# by test: starting a test program costs far more than most of its tests
# (under AddressSanitizer a tenth of a second of relocations, shadow set-up and
# the leak scan at exit, several times that on a loaded machine), so one
# process per test spent most of the check's time starting programs.
#
# Like GoogleTest's own discovery in its PRE_TEST mode, the program is listed
# when CTest starts (not while building), and only again after it was rebuilt.
# The tests of a suite run in one process, in the program's order, so a test
# that leaves state behind for the next is found here as it would be by a
# developer running the whole program.  Run a single test with the program
# itself: PROGRAM --gtest_filter=Suite.Name.

set(KP_GTEST_SUITES_SCRIPT "${CMAKE_CURRENT_LIST_FILE}")

# kp_gtest_suites_from_listing(<listing> <out-var>)
# The suites of a --gtest_list_tests listing as "Suite=Suite.A:Suite.B" items,
# in the listing's order.  Suite lines end in a dot (a typed suite's line
# carries "# TypeParam = ..." after it), test lines start with two spaces (a
# parameterised test's line carries "# GetParam() = ..."); anything else (the
# "Running main() from ..." line of gtest_main) is not part of the listing.
function(kp_gtest_suites_from_listing listing out)
  string(REPLACE ";" "\\;" listing "${listing}")
  string(REPLACE "\n" ";" lines "${listing}")
  set(result "")
  set(suite "")
  set(tests "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^([A-Za-z0-9_/]+)\\.( +#.*)?$")
      if(NOT suite STREQUAL "" AND NOT tests STREQUAL "")
        list(APPEND result "${suite}=${tests}")
      endif()
      set(suite "${CMAKE_MATCH_1}")
      set(tests "")
    elseif(line MATCHES "^  ([A-Za-z0-9_/]+)( +#.*)?$" AND NOT suite STREQUAL "")
      set(test "${CMAKE_MATCH_1}")
      # Disabled tests are left out, as a run of the whole program leaves them.
      if(NOT test MATCHES "^DISABLED_" AND NOT suite MATCHES "(^|/)DISABLED_")
        if(tests STREQUAL "")
          set(tests "${suite}.${test}")
        else()
          string(APPEND tests ":${suite}.${test}")
        endif()
      endif()
    endif()
  endforeach()
  if(NOT suite STREQUAL "" AND NOT tests STREQUAL "")
    list(APPEND result "${suite}=${tests}")
  endif()
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

# kp_gtest_write_suites(<program-name> <executable> <filter> <working-dir>
#                       <labels> <ctest-file>)
# Lists the program (through the filter, when one is given) and writes one
# add_test per suite to the CTest file.  Each test names its program, so two
# programs with a suite of the same name stay apart, and runs exactly the
# suite's listed tests (a run that selects none fails).  A program that cannot
# be listed is registered as one failing test that says so, instead of
# silently registering nothing; that file removes itself when read, so the next
# run lists the program again.
function(kp_gtest_write_suites program exe filter workdir labels ctest_file)
  set(args --gtest_list_tests)
  if(NOT filter STREQUAL "")
    list(APPEND args "--gtest_filter=${filter}")
  endif()
  execute_process(COMMAND "${exe}" ${args} WORKING_DIRECTORY "${workdir}"
    TIMEOUT 120 OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE rc)
  set(content "")
  if(NOT rc EQUAL 0)
    string(REPLACE "\n" " " errors "${errors}")
    string(APPEND content "add_test([==[${program}:LISTING_FAILED]==] ${CMAKE_COMMAND} -E echo "
      "[==[${exe} --gtest_list_tests failed (${rc}): ${errors}]==])\n"
      "set_tests_properties([==[${program}:LISTING_FAILED]==] PROPERTIES WILL_FAIL TRUE)\n"
      "file(REMOVE [==[${ctest_file}]==])\n")
  else()
    kp_gtest_suites_from_listing("${listing}" suites)
    foreach(item IN LISTS suites)
      string(FIND "${item}" "=" eq)
      string(SUBSTRING "${item}" 0 ${eq} suite)
      math(EXPR start "${eq} + 1")
      string(SUBSTRING "${item}" ${start} -1 tests)
      set(name "${program}:${suite}")
      string(APPEND content
        "add_test([==[${name}]==] [==[${exe}]==] [==[--gtest_filter=${tests}]==])\n"
        "set_tests_properties([==[${name}]==] PROPERTIES WORKING_DIRECTORY [==[${workdir}]==] "
        "LABELS [==[${labels}]==] FAIL_REGULAR_EXPRESSION [==[Running 0 tests from]==])\n")
    endforeach()
  endif()
  file(WRITE "${ctest_file}" "${content}")
endfunction()

# kp_gtest_add_suites(<target> FILTER <gtest-filter> LABELS <labels>...)
# At configure time: the CTest include file that lists the target's suites
# when CTest starts (again only after the program was rebuilt).
function(kp_gtest_add_suites target)
  cmake_parse_arguments(ARG "" "FILTER" "LABELS" ${ARGN})
  set(base "${CMAKE_CURRENT_BINARY_DIR}/${target}")
  set(ctest_file "${base}_suites.cmake")
  set(include_file "${base}_suites_include.cmake")
  string(REPLACE ";" "\\;" labels "${ARG_LABELS}")
  file(GENERATE OUTPUT "${include_file}" CONTENT
"if(EXISTS [==[$<TARGET_FILE:${target}>]==])
  if(NOT EXISTS [==[${ctest_file}]==] OR
     NOT [==[${ctest_file}]==] IS_NEWER_THAN [==[$<TARGET_FILE:${target}>]==] OR
     NOT [==[${ctest_file}]==] IS_NEWER_THAN [==[${KP_GTEST_SUITES_SCRIPT}]==])
    include([==[${KP_GTEST_SUITES_SCRIPT}]==])
    kp_gtest_write_suites([==[${target}]==] [==[$<TARGET_FILE:${target}>]==]
      [==[${ARG_FILTER}]==] [==[${CMAKE_CURRENT_BINARY_DIR}]==] [==[${labels}]==]
      [==[${ctest_file}]==])
  endif()
  include([==[${ctest_file}]==])
else()
  add_test([==[${target}:NOT_BUILT]==] [==[${target}_NOT_BUILT]==])
endif()
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${include_file}")
endfunction()
