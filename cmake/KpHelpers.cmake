# Build helpers shared by every component.

# Every folder is added with add_subdirectory, so that a missing one is a
# configure error rather than a part of the tree silently left out.  This
# helper serves only the lines of folders that are being written now and have
# not reached the tree yet; each becomes add_subdirectory when its folder lands.
function(kp_add_subdirectory_if_present dir)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endfunction()

# Code that runs in the kernel: no exceptions, no RTTI, strict floating point.
function(kp_kernel_code target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-fast-math)
endfunction()

# kp_add_gtest(name SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS unit] [NO_MAIN])
# One GoogleTest executable, registered with CTest test by test.
function(kp_add_gtest name)
  cmake_parse_arguments(ARG "NO_MAIN" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock)
  if(NOT ARG_NO_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  else()
    target_link_libraries(${name} PRIVATE GTest::gtest)
  endif()
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
    PROPERTIES LABELS "${ARG_LABELS}")
endfunction()
