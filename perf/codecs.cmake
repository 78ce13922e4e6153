# The built-in codecs through Q7Dwrite / Q7Dread against the codec
# libraries alone on the same chunks, and deflate against zlib, in the
# same run.
if(TARGET quor7)
  add_executable(bench_codecs "${CMAKE_CURRENT_LIST_DIR}/bench_codecs.cpp")
  target_link_libraries(bench_codecs PRIVATE quor7 benchmark::benchmark PkgConfig::QUOR7_CODECS ZLIB::ZLIB)
  set_target_properties(bench_codecs PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/perf")
endif()
