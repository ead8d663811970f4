# cmake --install: the shared library, the public headers, a CMake package (find_package(Ombrelia))
# and a pkg-config file.
include(CMakePackageConfigHelpers)
install(TARGETS ombrelia EXPORT OmbreliaTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/ombrelia DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT OmbreliaTargets NAMESPACE Ombrelia:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Ombrelia)
configure_package_config_file(cmake/OmbreliaPackage.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/OmbreliaConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Ombrelia)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/OmbreliaConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/OmbreliaConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/OmbreliaConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Ombrelia)
configure_file(cmake/ombrelia.pc.in ${CMAKE_CURRENT_BINARY_DIR}/ombrelia.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ombrelia.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
