# Q7Dwrite / Q7Dread of 256 MiB in 1 MiB chunks (plain and through the
# offset plug-in) against write() / read() of a plain file, in one run,
# with SQLite alone and the log's write pattern as references.
if(TARGET quor7)
  add_executable(bench_storage "${CMAKE_CURRENT_LIST_DIR}/bench_storage.cpp"
                               "${CMAKE_CURRENT_LIST_DIR}/storage_reference.cpp")
  target_link_libraries(bench_storage PRIVATE quor7 SQLite::SQLite3 benchmark::benchmark)
  set_target_properties(bench_storage PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/perf")
  if(TARGET offset_plugin)
    add_dependencies(bench_storage offset_plugin)
  endif()
endif()
