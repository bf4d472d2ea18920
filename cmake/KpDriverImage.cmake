# kp_driver_image(name [LOGIC logic] [LIBS lib1 lib2 ...] [SOURCES a.cpp ...])
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
  cmake_parse_arguments(ARG "" "LOGIC" "SOURCES;LIBS" ${ARGN})
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
  target_link_options(${name} PRIVATE
    "LINKER:--undefined=DriverEntry"
    "LINKER:--version-script=${KP_DRIVER_IMAGE_EXPORTS}")
  if(KP_SANITIZE STREQUAL "")
    # Every symbol must resolve inside the image or the kernel.
    target_link_options(${name} PRIVATE "LINKER:--no-undefined")
  endif()
endfunction()
