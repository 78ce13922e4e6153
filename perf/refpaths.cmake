# Reference path table: building it against the bare walk, lookups, and
# scaling from 10,000 to 100,000 objects, in the same run.
add_executable(bench_refpaths "${CMAKE_CURRENT_LIST_DIR}/bench_refpaths.cpp")
target_link_libraries(bench_refpaths PRIVATE q7tools quor7 benchmark::benchmark)
set_target_properties(bench_refpaths PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/perf")
