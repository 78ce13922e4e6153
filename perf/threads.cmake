# Compressed chunks on every core and the decoded-chunk cache, as ratios
# against the codec libraries alone and a plain file, in the same run.
if(TARGET quor7)
  add_executable(bench_threads "${CMAKE_CURRENT_LIST_DIR}/bench_threads.cpp")
  target_link_libraries(bench_threads PRIVATE quor7 PkgConfig::QUOR7_CODECS)
  set_target_properties(bench_threads PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/perf")
endif()
