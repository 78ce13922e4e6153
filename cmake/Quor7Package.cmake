# CMake package config and pkg-config file for an installed Quor7.
include(CMakePackageConfigHelpers)

if(TARGET quor7)
  install(EXPORT Quor7Targets NAMESPACE Quor7:: DESTINATION "${CMAKE_INSTALL_LIBDIR}/cmake/Quor7")
  configure_package_config_file("${CMAKE_SOURCE_DIR}/cmake/Quor7Config.cmake.in"
    "${CMAKE_BINARY_DIR}/Quor7Config.cmake"
    INSTALL_DESTINATION "${CMAKE_INSTALL_LIBDIR}/cmake/Quor7")
  write_basic_package_version_file("${CMAKE_BINARY_DIR}/Quor7ConfigVersion.cmake"
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
  install(FILES "${CMAKE_BINARY_DIR}/Quor7Config.cmake" "${CMAKE_BINARY_DIR}/Quor7ConfigVersion.cmake"
    DESTINATION "${CMAKE_INSTALL_LIBDIR}/cmake/Quor7")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/quor7.pc.in" "${CMAKE_BINARY_DIR}/quor7.pc" @ONLY)
  install(FILES "${CMAKE_BINARY_DIR}/quor7.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
endif()
