# q7repack: repacking 256 MiB of float64 in 1 MiB chunks, unchanged and
# through filter 257, against reading the dataset with Q7Dread and writing
# it to a new file with Q7Dwrite in the same run; peak memory of the
# program (bench_repack).
if(TARGET q7repack_engine)
  add_executable(bench_repack "${CMAKE_CURRENT_LIST_DIR}/bench_repack.cpp")
  target_link_libraries(bench_repack PRIVATE q7repack_engine quor7 benchmark::benchmark)
  target_compile_definitions(bench_repack PRIVATE Q7REPACK_PROGRAM="${CMAKE_BINARY_DIR}/bin/q7repack")
  set_target_properties(bench_repack PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/perf")
  add_dependencies(bench_repack q7repack offset_plugin)
endif()
