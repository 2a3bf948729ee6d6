# Delay-loaded system libraries. Executables import only kernel32 and the C runtime at start;
# user32, shell32, shlwapi and ole32 are loaded on first use, after the launcher has restricted
# the DLL search to the system directory, so a copy planted beside the executable is never the
# one that loads, whatever the loader's own rules for its static imports.
# Each .def under cmake/delayload lists the functions the library calls.
set(LODESTAR_DELAYLOAD_LIBRARIES)
file(GLOB defs CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/delayload/*.def)
foreach(def IN LISTS defs)
  get_filename_component(name ${def} NAME_WE)
  set(lib ${PROJECT_BINARY_DIR}/delayload/lib${name}_delay.a)
  add_custom_command(OUTPUT ${lib}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/delayload
    COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --dllname ${name}.dll --output-delaylib ${lib}
    DEPENDS ${def}
    COMMENT "Delay-import library for ${name}.dll"
    VERBATIM)
  list(APPEND LODESTAR_DELAYLOAD_LIBRARIES ${lib})
endforeach()
add_custom_target(lodestar_delayload DEPENDS ${LODESTAR_DELAYLOAD_LIBRARIES})
