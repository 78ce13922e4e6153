# GIF import: gif2q7 on a 4096x4096, 8-frame GIF against giflib decoding
# the same file alone, in the same run.
find_package(GIF REQUIRED)
add_executable(bench_gif_import "${CMAKE_CURRENT_LIST_DIR}/bench_gif_import.cpp")
target_link_libraries(bench_gif_import PRIVATE q7gif_encode benchmark::benchmark GIF::GIF)
target_compile_definitions(bench_gif_import PRIVATE QUOR7_GIF2Q7="$<TARGET_FILE:gif2q7>")
set_target_properties(bench_gif_import PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/perf")
add_dependencies(bench_gif_import gif2q7)
