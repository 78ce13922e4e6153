# q7diff: the comparison engine against reading both datasets and comparing
# their bytes (bench_q7diff); the whole program against GNU cmp is
# perf/q7diff-vs-cmp.sh.
add_executable(bench_q7diff "${CMAKE_CURRENT_LIST_DIR}/bench_q7diff.cpp")
target_link_libraries(bench_q7diff PRIVATE q7tools quor7 benchmark::benchmark)
set_target_properties(bench_q7diff PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/perf")
