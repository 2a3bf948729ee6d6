# lodestar_add_launcher(<target> PACKAGE <file.msi> [PRODUCT_CODE <{GUID}>] [DEPENDS <targets>...]
#                       [OUTPUT_NAME <name>])
# Makes a launcher executable that carries PACKAGE as its "MSI" resource and the product code
# (by default the package's own ProductCode property) as its "PRODUCT_CODE" resource.
function(lodestar_add_launcher target)
  cmake_parse_arguments(ARG "" "PACKAGE;PRODUCT_CODE;OUTPUT_NAME" "DEPENDS" ${ARGN})
  if(NOT ARG_PACKAGE)
    message(FATAL_ERROR "lodestar_add_launcher(${target}): PACKAGE is required")
  endif()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}.resources)
  add_custom_command(
    OUTPUT ${dir}/launcher.rc ${dir}/product_code.bin
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/launcher-resources ${ARG_PACKAGE} ${dir} ${ARG_PRODUCT_CODE}
    DEPENDS ${ARG_PACKAGE} ${ARG_DEPENDS} ${CMAKE_SOURCE_DIR}/scripts/launcher-resources
    COMMENT "Packing ${ARG_PACKAGE} into ${target}"
    VERBATIM)
  add_executable(${target} WIN32 ${dir}/launcher.rc)
  target_link_libraries(${target} PRIVATE lodestar_launcher)
  if(ARG_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
endfunction()
