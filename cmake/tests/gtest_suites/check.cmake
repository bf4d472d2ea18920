# kp_gtest_suites_from_listing and kp_gtest_write_suites on canned listings:
# run with cmake -DOUT=<scratch folder> -P check.cmake.
include(${CMAKE_CURRENT_LIST_DIR}/../../KpGtestSuites.cmake)

function(expect what actual wanted)
  if(NOT actual STREQUAL wanted)
    message(FATAL_ERROR "${what}:\n  got    [${actual}]\n  wanted [${wanted}]")
  endif()
endfunction()

# The listing as gtest_main prints it: its own line first, a plain suite, a
# typed suite, a value-parameterised suite, disabled tests and a suite left
# empty by them, and a suite whose name reappears after another.
string(JOIN "\n" listing
  "Running main() from /usr/src/googletest/googletest/src/gtest_main.cc"
  "Plain."
  "  First"
  "  DISABLED_Second"
  "  Third"
  "Typed/0.  # TypeParam = (anonymous namespace)::Traits<int>"
  "  Works"
  "Values/Param.  # instantiated"
  "  Case/0  # GetParam() = -500"
  "  Case/1  # GetParam() = 0"
  "DISABLED_Off."
  "  Anything"
  "Empty."
  "  DISABLED_Only"
  "Last."
  "  One"
  "")
kp_gtest_suites_from_listing("${listing}" suites)
expect("suites of a listing" "${suites}"
  "Plain=Plain.First:Plain.Third;Typed/0=Typed/0.Works;Values/Param=Values/Param.Case/0:Values/Param.Case/1;Last=Last.One")

kp_gtest_suites_from_listing("Running main() from gtest_main.cc\n" none)
expect("a program without tests" "${none}" "")

# A program that cannot be listed is one failing test, and its file asks to
# be written again on the next run.
set(file "${OUT}/missing_suites.cmake")
kp_gtest_write_suites(missing "${OUT}/no-such-program" "" "${OUT}" "unit" "${file}")
file(READ "${file}" content)
foreach(part "add_test([==[missing:LISTING_FAILED]==]" "WILL_FAIL TRUE"
             "file(REMOVE [==[${file}]==])")
  string(FIND "${content}" "${part}" at)
  if(at LESS 0)
    message(FATAL_ERROR "the failed listing's file lacks ${part}:\n${content}")
  endif()
endforeach()

# A listed program: one test per suite, each running the suite's tests only,
# in the program's folder with its labels.  The program here is a script
# that prints the canned listing.
set(fake "${OUT}/fake-program")
file(WRITE "${OUT}/listing.txt" "${listing}")
file(WRITE "${fake}" "#!/bin/sh\ncat '${OUT}/listing.txt'\n")
file(CHMOD "${fake}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
set(file "${OUT}/fake_suites.cmake")
kp_gtest_write_suites(fake "${fake}" "" "${OUT}" "unit;extra" "${file}")
file(STRINGS "${file}" lines)
list(FILTER lines INCLUDE REGEX "^add_test")
expect("registered tests" "${lines}"
  "add_test([==[fake:Plain]==] [==[${fake}]==] [==[--gtest_filter=Plain.First:Plain.Third]==]);add_test([==[fake:Typed/0]==] [==[${fake}]==] [==[--gtest_filter=Typed/0.Works]==]);add_test([==[fake:Values/Param]==] [==[${fake}]==] [==[--gtest_filter=Values/Param.Case/0:Values/Param.Case/1]==]);add_test([==[fake:Last]==] [==[${fake}]==] [==[--gtest_filter=Last.One]==])")
file(READ "${file}" content)
string(FIND "${content}" "PROPERTIES WORKING_DIRECTORY [==[${OUT}]==] LABELS [==[unit;extra]==] FAIL_REGULAR_EXPRESSION [==[Running 0 tests from]==]" at)
if(at LESS 0)
  message(FATAL_ERROR "the suites' properties are missing:\n${content}")
endif()
message(STATUS "suite registration checked")
