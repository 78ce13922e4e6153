# 20,000 group creations and 20,000 one-element writes, each into a fresh
# file timed until its close has returned, against SQLite alone inserting
# 20,000 rows in one transaction, in one run.
if(TARGET quor7)
  add_executable(bench_small_calls "${CMAKE_CURRENT_LIST_DIR}/bench_small_calls.cpp")
  target_link_libraries(bench_small_calls PRIVATE quor7 SQLite::SQLite3 benchmark::benchmark)
  set_target_properties(bench_small_calls PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/perf")
endif()
