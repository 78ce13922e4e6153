# 256 MiB in 1 MiB chunks written (creation to close, durable and with
# syncs off, plain and through the offset plug-in) and read back, against
# write() / fdatasync() / read() of a plain file, in one run, with SQLite
# alone (rollback journal and write-ahead log), the log's write pattern
# and the peak memory of a durable write as references.
if(TARGET quor7)
  add_executable(bench_storage "${CMAKE_CURRENT_LIST_DIR}/bench_storage.cpp"
                               "${CMAKE_CURRENT_LIST_DIR}/storage_reference.cpp")
  target_link_libraries(bench_storage PRIVATE quor7 SQLite::SQLite3 benchmark::benchmark)
  set_target_properties(bench_storage PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/perf")
  if(TARGET offset_plugin)
    add_dependencies(bench_storage offset_plugin)
  endif()
endif()
