# kp_driver_image(name LIBS lib1 lib2 ... [SOURCES a.cpp ...])
#
# Builds the driver image <name>.sys: a shared object that the stand-in kernel's
# loader opens with local symbols.  It exports DriverEntry only (declare it
# extern "C"); everything else, the static libraries' globals included, stays
# inside the image, so two images linking one library keep separate state.
# DriverEntry may live in one of the static libraries.
set(KP_DRIVER_IMAGE_EXPORTS ${CMAKE_BINARY_DIR}/kp_driver_image.map)
file(WRITE ${KP_DRIVER_IMAGE_EXPORTS} "{\n  global: DriverEntry;\n  local: *;\n};\n")

function(kp_driver_image name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
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
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Platform::kernel)
  target_link_options(${name} PRIVATE
    "LINKER:--undefined=DriverEntry"
    "LINKER:--version-script=${KP_DRIVER_IMAGE_EXPORTS}")
  if(KP_SANITIZE STREQUAL "")
    # Every symbol must resolve inside the image or the kernel.
    target_link_options(${name} PRIVATE "LINKER:--no-undefined")
  endif()
endfunction()
