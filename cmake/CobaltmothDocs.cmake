# The API reference of the public headers, made by Doxygen when it is installed:
#   cmake --build --preset linux --target cobaltmoth_docs    (build/linux/docs/html/index.html)
# The headers keep plain // comments; scripts/doxygen-filter.py hands them to Doxygen. Any
# warning (a declaration without its comment, a broken command) fails the target.
find_package(Doxygen QUIET)
find_package(Python3 QUIET COMPONENTS Interpreter)
if(DOXYGEN_FOUND AND Python3_Interpreter_FOUND)
  configure_file(docs/Doxyfile.in ${PROJECT_BINARY_DIR}/Doxyfile @ONLY)
  add_custom_target(cobaltmoth_docs
    COMMAND ${CMAKE_COMMAND} -E rm -rf docs
    COMMAND Doxygen::doxygen ${PROJECT_BINARY_DIR}/Doxyfile
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
    COMMENT "Writing the API reference to ${PROJECT_BINARY_DIR}/docs/html"
    VERBATIM)
endif()
