# The packages, made by CPack from the install rules, named with the release version:
#   Linux    four Debian packages (cmake --workflow --preset debian; see the README)
#   Windows  the kit for Basic developers, one zip with the 64-bit and the 32-bit DLL
#            (scripts/windows-kit.sh builds both, then packs them from the mingw-x64 build)
set(CPACK_PACKAGE_NAME cobaltmoth)
set(CPACK_PACKAGE_VENDOR "Quorbit")
set(CPACK_PACKAGE_CONTACT "Quorbit Cobaltmoth maintainers <cobaltmoth@quorbit.example>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_THREADS 2)

if(WIN32)
  # The kit: x64\ and x86\ from the two builds (component dll), the samples, its README and
  # the licence from this one (component kit).
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME cobaltmoth-${PROJECT_VERSION}-windows)
  set(COBALTMOTH_KIT_X86_BUILD ${PROJECT_SOURCE_DIR}/build/mingw-x86 CACHE PATH
      "The 32-bit build whose DLL the kit takes")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};cobaltmoth;dll;/"
                                   "${PROJECT_BINARY_DIR};cobaltmoth;kit;/")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${COBALTMOTH_KIT_X86_BUILD};cobaltmoth;dll;/")
  endif()
  include(CPack)
  return()
endif()

# Debian: libcobaltmoth1, libcobaltmoth-dev, cobaltmoth-ui and cobaltmoth-tools, from the
# install components of the same names (cmake/CobaltmothInstall.cmake), for CMAKE_INSTALL_PREFIX
# /usr. Their dependencies on other packages come from their binaries (dpkg-shlibdeps).
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev ui tools)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(deb_version ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libcobaltmoth${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS cobaltmoth-ui)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)  # the library's shlibs file
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
file(WRITE ${PROJECT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/triggers)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libcobaltmoth-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "libcobaltmoth${PROJECT_VERSION_MAJOR} (= ${deb_version}), libsqlite3-dev")
set(CPACK_DEBIAN_UI_PACKAGE_NAME cobaltmoth-ui)
set(CPACK_DEBIAN_UI_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_UI_PACKAGE_RECOMMENDS fonts-liberation)  # metrics of Arial and Courier New
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME cobaltmoth-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
# The first line of a description is the package's synopsis. (CPack puts a summary of its own
# before it unless the summary is CPack's default.)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "procedure-stack tracer and bug handler (library)
Cobaltmoth keeps a host program's procedures as a stack and writes an indented
stack log. When the host reports an error, it shows a message box, appends a
full report to a bug log and shows a report window that the user can copy,
print or mail.

This package holds the shared library, and the programs it starts: the
crash helper and the sender of reports to an error tracker (cobaltmoth-send).")
set(CPACK_DEBIAN_DEV_DESCRIPTION "procedure-stack tracer and bug handler (development files)
Cobaltmoth keeps a host program's procedures as a stack, writes an indented
stack log and reports the host's errors in a message box, a bug log and a
report window.

This package holds the C++20 headers, the static library and the files for
CMake (find_package(cobaltmoth)) and pkg-config (cobaltmoth).")
set(CPACK_DEBIAN_UI_DESCRIPTION "desktop windows of the Cobaltmoth bug handler
The Cobaltmoth library starts this program to show its message box and its
report window on an X11 desktop, so that no host program has to link a
toolkit. Without it, the library shows them in the terminal.")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command for the settings store of Cobaltmoth
cobaltmoth-reg reads and changes the settings that the Cobaltmoth library
keeps in place of a registry, such as the registered owner and organisation of
the machine, which bug reports show.")

# Each package's copyright file and Debian changelog, which only packages install.
string(TIMESTAMP deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${PROJECT_BINARY_DIR}/debian/changelog.Debian
"cobaltmoth (${deb_version}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${CPACK_PACKAGE_CONTACT}  ${deb_date}
")
execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/debian/changelog.Debian)
foreach(component runtime dev ui tools)
  string(TOUPPER ${component} upper)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE RENAME copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
include(CPack)
