# Helpers shared by every folder of the build.

# quor7_add_plugin(<name> SOURCES <files...> [LINK_QUOR7] [DEFINITIONS <defs...>])
#
# A filter plug-in: a MODULE library whose file is <name>.so (no "lib"
# prefix), built with hidden visibility so that only the symbols marked
# Q7PL_EXPORT are exported, placed in the build tree's plug-in directory
# and installed into lib/quor7/plugins.  Plug-ins are never instrumented by
# the sanitizers: they are loaded into sanitized hosts, and must keep their
# exact export list and dependencies in every build.
function(quor7_add_plugin name)
  cmake_parse_arguments(P "LINK_QUOR7" "" "SOURCES;DEFINITIONS" ${ARGN})
  add_library(${name} MODULE ${P_SOURCES})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY "${QUOR7_BUILD_PLUGIN_DIR}")
  target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}/boundary")
  target_compile_options(${name} PRIVATE -fno-sanitize=all)
  # Also at link time: otherwise a sanitized build links the sanitizer
  # runtimes into the plug-in and they show up as NEEDED libraries.
  target_link_options(${name} PRIVATE -fno-sanitize=all "LINKER:--as-needed")
  if(P_DEFINITIONS)
    target_compile_definitions(${name} PRIVATE ${P_DEFINITIONS})
  endif()
  if(P_LINK_QUOR7)
    target_link_libraries(${name} PRIVATE quor7)
  endif()
  # Refuse undefined symbols at link time except in sanitized builds,
  # where libquor7 itself carries the sanitizer runtime's references.
  if(NOT QUOR7_SANITIZE)
    target_link_options(${name} PRIVATE "LINKER:-z,defs")
  endif()
  install(TARGETS ${name} LIBRARY DESTINATION "${QUOR7_INSTALL_PLUGIN_DIR}")
  set_property(GLOBAL APPEND PROPERTY QUOR7_PLUGIN_TARGETS ${name})
endfunction()
