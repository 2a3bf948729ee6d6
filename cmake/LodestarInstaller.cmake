# lodestar_add_installer(<target> PACKAGE <file.msi> [ICON <file.ico>] [OUTPUT_NAME <name>]
#                        [PRODUCT_CODE <GUID>] [DEPENDS <targets or files>...])
#
# Makes <OUTPUT_NAME or target>.exe in the current binary directory at build time: a launcher
# that carries PACKAGE, packed by lodestar-pack. Relative PACKAGE and ICON paths are taken from
# the calling source directory. PRODUCT_CODE, when given, must be the package's ProductCode.
# DEPENDS names what makes the package, when the build makes it. The target's property
# LODESTAR_INSTALLER_FILE holds the launcher's path.
#
# lodestar-pack comes from the global property LODESTAR_PACK_COMMAND: this project's own build
# sets it, and so does find_package(Lodestar).
function(lodestar_add_installer target)
  cmake_parse_arguments(ARG "" "PACKAGE;ICON;OUTPUT_NAME;PRODUCT_CODE" "DEPENDS" ${ARGN})
  if(NOT ARG_PACKAGE)
    message(FATAL_ERROR "lodestar_add_installer(${target}): PACKAGE is required")
  endif()
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "lodestar_add_installer(${target}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  get_property(packCommand GLOBAL PROPERTY LODESTAR_PACK_COMMAND)
  get_property(packDepends GLOBAL PROPERTY LODESTAR_PACK_DEPENDS)
  if(NOT packCommand)
    message(FATAL_ERROR "lodestar_add_installer(${target}): no lodestar-pack; use find_package(Lodestar) "
                        "or add the Lodestar project first")
  endif()

  get_filename_component(package "${ARG_PACKAGE}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  set(name ${target})
  if(ARG_OUTPUT_NAME)
    set(name ${ARG_OUTPUT_NAME})
  endif()
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${name}.exe)
  set(options)
  set(inputs ${package})
  if(ARG_ICON)
    get_filename_component(icon "${ARG_ICON}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND options --icon ${icon})
    list(APPEND inputs ${icon})
  endif()
  if(ARG_PRODUCT_CODE)
    list(APPEND options --product-code ${ARG_PRODUCT_CODE})
  endif()

  add_custom_command(OUTPUT ${output}
    COMMAND ${packCommand} ${package} -o ${output} ${options} --force
    DEPENDS ${inputs} ${packDepends} ${ARG_DEPENDS}
    COMMENT "Packing ${package} into ${name}.exe"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
  set_target_properties(${target} PROPERTIES LODESTAR_INSTALLER_FILE ${output})
endfunction()
