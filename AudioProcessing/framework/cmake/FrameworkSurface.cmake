# The framework's surface, held: no source outside the framework includes one
# of its private headers (every header of its src/ folder).  A logic, a tool
# or kssim sees the framework through include/, a test its internals through
# testing/ (FrameworkTesting.h).
#
#   cmake -DZV_FRAMEWORK=<framework folder> -DZV_ROOTS=<folder;...>
#         [-DZV_HELD=<folder;...>] [-DZV_LOGIC_NAMES=<name;...>]
#         -P FrameworkSurface.cmake
#
# Every .cpp, .h and .inc file under the roots is read, except the
# framework's own (its units and its tests), unless it lies in a HELD folder:
# a folder inside the framework held to the surface as a logic is.  An
# include of a private header, by name or by a path ending in it, stops the
# run with the files and lines that break the rule.  With ZV_LOGIC_NAMES the
# framework's own src/, include/ and testing/ files must not name a logic.

# The lines of source that match pattern, each as "  <file>: <line>", are
# appended to the list named out.
function(zv_surface_breaches source pattern out)
  file(STRINGS "${source}" lines REGEX "${pattern}")
  set(found ${${out}})
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    list(APPEND found "  ${source}: ${line}")
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

# Stops the run, under title, when breaches holds one.
function(zv_surface_refuse breaches title)
  if(breaches)
    list(REMOVE_DUPLICATES breaches)
    list(JOIN breaches "\n" text)
    message(FATAL_ERROR "${title}:\n${text}")
  endif()
endfunction()

function(zv_framework_surface_check framework roots held)
  file(GLOB private RELATIVE "${framework}/src" "${framework}/src/*.h")
  if(NOT private)
    message(FATAL_ERROR "${framework}/src holds no header: not the framework's folder")
  endif()
  list(TRANSFORM private REPLACE "([.+])" "\\\\\\1")
  list(JOIN private "|" names)
  set(pattern "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\"<>]*/)?(${names})[\">]")

  set(breaches "")
  foreach(root IN LISTS roots)
    # A root that is not there would pass unread.
    if(NOT IS_DIRECTORY "${root}")
      message(FATAL_ERROR "${root} is not a folder: nothing of it could be checked")
    endif()
    file(GLOB_RECURSE sources "${root}/*.cpp" "${root}/*.h" "${root}/*.inc")
    foreach(source IN LISTS sources)
      string(FIND "${source}" "${framework}/" inside)
      if(inside EQUAL 0)
        set(checked FALSE)
        foreach(folder IN LISTS held)
          string(FIND "${source}" "${folder}/" in_held)
          if(in_held EQUAL 0)
            set(checked TRUE)
          endif()
        endforeach()
        if(NOT checked)
          continue()
        endif()
      endif()
      zv_surface_breaches("${source}" "${pattern}" breaches)
    endforeach()
  endforeach()
  zv_surface_refuse("${breaches}" "Framework-private headers included outside the framework \
(use include/ or, in tests, testing/FrameworkTesting.h)")
endfunction()

# The framework serves any logic and names none: no file of its src/, include/
# or testing/ folders holds one of the names (words, matched whole).
function(zv_framework_names_none framework names)
  list(JOIN names "|" alternatives)
  set(breaches "")
  foreach(folder src include testing)
    file(GLOB_RECURSE sources "${framework}/${folder}/*")
    foreach(source IN LISTS sources)
      zv_surface_breaches("${source}" "(^|[^A-Za-z0-9_])(${alternatives})([^A-Za-z0-9_]|$)"
        breaches)
    endforeach()
  endforeach()
  zv_surface_refuse("${breaches}" "The framework names a logic")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  if(NOT ZV_FRAMEWORK OR NOT ZV_ROOTS)
    message(FATAL_ERROR "FrameworkSurface.cmake needs -DZV_FRAMEWORK=... and -DZV_ROOTS=...")
  endif()
  zv_framework_surface_check("${ZV_FRAMEWORK}" "${ZV_ROOTS}" "${ZV_HELD}")
  if(ZV_LOGIC_NAMES)
    zv_framework_names_none("${ZV_FRAMEWORK}" "${ZV_LOGIC_NAMES}")
  endif()
endif()
