# Installs the headers, both libraries, a CMake package (find_package(cobaltmoth)) and a
# pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(DIRECTORY include/cobaltmoth DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS cobaltmoth cobaltmoth_static EXPORT cobaltmothTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT cobaltmothTargets NAMESPACE cobaltmoth::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/cobaltmoth)
configure_package_config_file(cmake/cobaltmothConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cobaltmothConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/cobaltmoth)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cobaltmothConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cobaltmothConfig.cmake
              ${PROJECT_BINARY_DIR}/cobaltmothConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/cobaltmoth)

# The .pc file finds the prefix from its own place, so the installed tree can be moved.
file(RELATIVE_PATH COBALTMOTH_PC_TO_PREFIX "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig"
     "${CMAKE_INSTALL_PREFIX}")
configure_file(cmake/cobaltmoth.pc.in ${PROJECT_BINARY_DIR}/cobaltmoth.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/cobaltmoth.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
