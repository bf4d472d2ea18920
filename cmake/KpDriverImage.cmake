# kp_driver_image(name [LOGIC logic] [LIBS lib1 lib2 ...] [SOURCES a.cpp ...]
#                 [VERSION a.b.c.d DESCRIPTION text])
#
# Builds the driver image <name>.sys: a shared object that the stand-in kernel's
# loader opens with local symbols.  It exports DriverEntry only (declare it
# extern "C"); everything else, the static libraries' globals included, stays
# inside the image, so two images linking one library keep separate state.
# DriverEntry may live in one of the static libraries.
#
# LOGIC names the library that holds a filter logic (its descriptor and the
# driver objects the framework reads).  Nothing in the image refers to the
# logic until the framework is linked, so an archive would be passed over:
# the logic is linked whole, ahead of LIBS.
#
# VERSION and DESCRIPTION give the image a version record (kp_version_record).
set(KP_DRIVER_IMAGE_EXPORTS ${CMAKE_BINARY_DIR}/kp_driver_image.map)
file(WRITE ${KP_DRIVER_IMAGE_EXPORTS} "{\n  global: DriverEntry;\n  local: *;\n};\n")

# kp_link_logic(target logic)
# Links a filter logic library whole into an image or into a test program that
# runs the framework in-process.
function(kp_link_logic target logic)
  if(NOT TARGET ${logic})
    message(FATAL_ERROR "kp_link_logic(${target}): ${logic} is not a target")
  endif()
  target_link_libraries(${target} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${logic}>")
endfunction()

function(kp_driver_image name)
  cmake_parse_arguments(ARG "" "LOGIC;VERSION;DESCRIPTION" "SOURCES;LIBS" ${ARGN})
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kp_driver_image(${name}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT ARG_SOURCES)
    set(stub ${CMAKE_CURRENT_BINARY_DIR}/${name}_image.cpp)
    if(NOT EXISTS ${stub})
      file(WRITE ${stub} "// The image of driver ${name}: its code comes from its libraries.\n")
    endif()
    set(ARG_SOURCES ${stub})
  endif()
  add_library(${name} MODULE ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES
    PREFIX "" SUFFIX ".sys"
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  if(ARG_LOGIC)
    kp_link_logic(${name} ${ARG_LOGIC})
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Platform::kernel)
  if(ARG_VERSION OR ARG_DESCRIPTION)
    kp_version_record(${name} VERSION "${ARG_VERSION}" DESCRIPTION "${ARG_DESCRIPTION}")
  endif()
  target_link_options(${name} PRIVATE
    "LINKER:--undefined=DriverEntry"
    "LINKER:--version-script=${KP_DRIVER_IMAGE_EXPORTS}")
  if(KP_SANITIZE STREQUAL "")
    # Every symbol must resolve inside the image or the kernel.
    target_link_options(${name} PRIVATE "LINKER:--no-undefined")
  endif()
endfunction()

# kp_version_record(target VERSION a.b.c.d DESCRIPTION text)
#
# Puts the image's version strings into its ".kpversion" section, where the
# stand-in's GetFileVersionInfo* find them by reading the ELF section table: the
# text "KPVERSION", then pairs of "\StringFileInfo\040904E4\<key>" and value
# (FileVersion, FileDescription), each ended by a NUL, then one more NUL.  The
# record travels inside the image, as a version resource does.
function(kp_version_record target)
  cmake_parse_arguments(ARG "" "VERSION;DESCRIPTION" "" ${ARGN})
  set(body "")
  foreach(pair "FileVersion;${ARG_VERSION}" "FileDescription;${ARG_DESCRIPTION}")
    list(GET pair 0 key)
    list(GET pair 1 value)
    if(value STREQUAL "")
      continue()
    endif()
    string(REPLACE "\\" "\\\\" value "${value}")
    string(REPLACE "\"" "\\\"" value "${value}")
    string(APPEND body "    \"\\\\StringFileInfo\\\\040904E4\\\\${key}\\0\" \"${value}\\0\"\n")
  endforeach()
  set(source ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.cpp)
  file(CONFIGURE OUTPUT ${source} CONTENT
"// Version record of ${target} (generated).
__attribute__((section(\".kpversion\"), used)) static const char kVersionRecord[] =
    \"KPVERSION\\0\"
${body}    \"\";
" @ONLY)
  target_sources(${target} PRIVATE ${source})
endfunction()
