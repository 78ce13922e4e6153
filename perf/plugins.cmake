# Filter plug-ins against memcpy (in-place filters) and against
# malloc + memcpy + free (name-suffix filter), in the same run.
if(TARGET quor7)
  add_executable(bench_filters "${CMAKE_CURRENT_LIST_DIR}/bench_filters.cpp")
  target_link_libraries(bench_filters PRIVATE quor7 benchmark::benchmark ${CMAKE_DL_LIBS})
  target_compile_definitions(bench_filters PRIVATE QUOR7_BUILD_PLUGIN_DIR="${QUOR7_BUILD_PLUGIN_DIR}")
  set_target_properties(bench_filters PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/perf")
  get_property(_plugin_targets GLOBAL PROPERTY QUOR7_PLUGIN_TARGETS)
  if(_plugin_targets)
    add_dependencies(bench_filters ${_plugin_targets})
  endif()
endif()
