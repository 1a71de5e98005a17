# The Windows build: the Windows backend of the platform interface, the in-process automation
# server Cobaltmoth.dll (with its resources and exports), and its tests, run under Wine when
# the build is a cross-compile (COBALTMOTH_WINE names the wine program; see scripts/wine-run.sh).
enable_language(RC)

# Windows 7 and later (RegisterTypeLibForUser).
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE)

add_library(cobaltmoth_platform OBJECT platform/windows/windows_platform.cpp
                                       platform/windows/crash_catcher.cpp
                                       platform/windows/windows_registry.cpp
                                       platform/windows/report_dialog.cpp
                                       platform/windows/windows_ui.cpp)
add_library(cobaltmoth::platform ALIAS cobaltmoth_platform)
target_include_directories(cobaltmoth_platform PRIVATE ${PROJECT_SOURCE_DIR}
                           ${PROJECT_SOURCE_DIR}/include)
cobaltmoth_warnings(cobaltmoth_platform)

set(COBALTMOTH_WINDOWS_LIBS ole32 oleaut32 uuid shell32 user32 gdi32 winspool advapi32 dbghelp)

# The core with the Windows backend, for the server and for tests that reach inside.
add_library(cobaltmoth_static STATIC $<TARGET_OBJECTS:cobaltmoth_core>
                                     $<TARGET_OBJECTS:cobaltmoth_platform>)
set_target_properties(cobaltmoth_static PROPERTIES OUTPUT_NAME cobaltmoth)
target_include_directories(cobaltmoth_static PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(cobaltmoth_static PUBLIC ${COBALTMOTH_WINDOWS_LIBS})
add_library(cobaltmoth_internal INTERFACE)
target_link_libraries(cobaltmoth_internal INTERFACE cobaltmoth_static)
target_include_directories(cobaltmoth_internal INTERFACE ${PROJECT_SOURCE_DIR})

# The C and C++ runtimes and winpthread go into the DLL, so that it needs only system DLLs.
set(COBALTMOTH_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)

add_library(cobaltmoth_com SHARED
  component/com/com_objects.cpp
  component/com/server.cpp
  component/com/type_library.cpp
  component/com/cobaltmoth.rc
  component/com/cobaltmoth.def
)
# windres tells the build nothing of what the script includes: the string table and the icon
# are named here, so that a change to either rebuilds the DLL's resources.
set(cobaltmoth_rc_includes ${PROJECT_SOURCE_DIR}/component/resources/strings.rc
                           ${PROJECT_SOURCE_DIR}/component/resources/icon101.ico)
set_source_files_properties(${PROJECT_SOURCE_DIR}/component/com/cobaltmoth.rc PROPERTIES
                            OBJECT_DEPENDS "${cobaltmoth_rc_includes}")
set_target_properties(cobaltmoth_com PROPERTIES OUTPUT_NAME Cobaltmoth PREFIX "" IMPORT_PREFIX ""
                      IMPORT_SUFFIX ".lib")
target_include_directories(cobaltmoth_com PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(cobaltmoth_com PRIVATE cobaltmoth_internal)
target_link_options(cobaltmoth_com PRIVATE ${COBALTMOTH_STATIC_RUNTIME}
                    $<$<STREQUAL:${CMAKE_SYSTEM_PROCESSOR},i686>:-Wl,--enable-stdcall-fixup>)
cobaltmoth_warnings(cobaltmoth_com)
# COM interfaces are released through Release(), never deleted through a base pointer.
target_compile_options(cobaltmoth_com PRIVATE -Wno-non-virtual-dtor)
add_library(cobaltmoth::com ALIAS cobaltmoth_com)

if(COBALTMOTH_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests/windows)
endif()

# Google Benchmark has no Windows package here: the benchmarks need its sources.
set(COBALTMOTH_BENCHMARK_SOURCE "" CACHE PATH "Google Benchmark's sources, for the Windows benchmarks")
if(COBALTMOTH_BUILD_BENCHMARKS AND COBALTMOTH_BENCHMARK_SOURCE)
  add_subdirectory(bench/windows)
endif()
