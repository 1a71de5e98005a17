# Installs the headers, both libraries, a CMake package (find_package(cobaltmoth)) and a
# pkg-config file, in components that the Debian packages follow:
#   runtime  the shared library                           (libcobaltmoth1)
#   dev      headers, static library, the library's link, CMake and pkg-config files
#                                                         (libcobaltmoth-dev)
#   ui       cobaltmoth-ui, in ui/CMakeLists.txt            (cobaltmoth-ui)
#   tools    cobaltmoth-reg and its manual page, in tools/  (cobaltmoth-tools)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(DIRECTORY include/cobaltmoth ${PROJECT_BINARY_DIR}/include/cobaltmoth
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(TARGETS cobaltmoth cobaltmoth_static EXPORT cobaltmothTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT cobaltmothTargets NAMESPACE cobaltmoth::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/cobaltmoth COMPONENT dev)
configure_package_config_file(cmake/cobaltmothConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cobaltmothConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/cobaltmoth)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cobaltmothConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cobaltmothConfig.cmake
              ${PROJECT_BINARY_DIR}/cobaltmothConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/cobaltmoth COMPONENT dev)

# The .pc file finds the prefix from its own place, so the installed tree can be moved.
file(RELATIVE_PATH COBALTMOTH_PC_TO_PREFIX "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig"
     "${CMAKE_INSTALL_PREFIX}")
configure_file(cmake/cobaltmoth.pc.in ${PROJECT_BINARY_DIR}/cobaltmoth.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/cobaltmoth.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
