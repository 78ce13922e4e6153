# bench_python: 256 MiB of float64 read into NumPy and written from NumPy
# through the quor7 Python package, against Q7Dread / Q7Dwrite with a C
# buffer in the same process and rounds.  Embeds Debian's python3; built
# only when the package is (python/CMakeLists.txt).
if(TARGET quor7_python)
  if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
    set(Python3_EXECUTABLE /usr/bin/python3)
  endif()
  find_package(Python3 COMPONENTS Interpreter Development NumPy)
  find_package(pybind11 CONFIG QUIET)
  if(Python3_Development_FOUND AND TARGET pybind11::embed)
    add_executable(bench_python "${CMAKE_CURRENT_LIST_DIR}/bench_python.cpp")
    target_link_libraries(bench_python PRIVATE quor7 pybind11::embed benchmark::benchmark)
    target_include_directories(bench_python SYSTEM PRIVATE ${pybind11_INCLUDE_DIRS})
    target_compile_definitions(bench_python PRIVATE QUOR7_PYTHON_DIR="${CMAKE_BINARY_DIR}/python")
    set_target_properties(bench_python PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/perf")
    add_dependencies(bench_python quor7_python)
  endif()
endif()
