# The Windows build: the Windows backend of the platform interface, the in-process automation
# server Cobaltmoth.dll (with its resources and exports), and its tests, run under Wine when
# the build is a cross-compile (COBALTMOTH_WINE names the wine program; see scripts/wine-run.sh).
enable_language(RC)

# Windows 7 and later (RegisterTypeLibForUser).
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE)

add_library(cobaltmoth_platform OBJECT component/default_platform.cpp
                                       component/default_platform_windows.cpp
                                       platform/windows/windows_platform.cpp
                                       platform/windows/crash_catcher.cpp
                                       platform/windows/crash_frames.cpp
                                       platform/windows/crash_minidump.cpp
                                       platform/windows/crash_threads.cpp
                                       platform/windows/crash_windows.cpp
                                       platform/windows/windows_outbox.cpp
                                       platform/windows/transport.cpp
                                       platform/windows/windows_registry.cpp
                                       platform/windows/report_dialog.cpp
                                       platform/windows/windows_ui.cpp)
add_library(cobaltmoth::platform ALIAS cobaltmoth_platform)
target_include_directories(cobaltmoth_platform PRIVATE ${PROJECT_SOURCE_DIR}
                           ${PROJECT_SOURCE_DIR}/include)
cobaltmoth_warnings(cobaltmoth_platform)

set(COBALTMOTH_WINDOWS_LIBS ole32 oleaut32 uuid shell32 user32 gdi32 winspool advapi32 dbghelp
                             ws2_32)

# The core with the Windows backend, for the server and for tests that reach inside.
add_library(cobaltmoth_static STATIC $<TARGET_OBJECTS:cobaltmoth_core>
                                     $<TARGET_OBJECTS:cobaltmoth_platform>)
set_target_properties(cobaltmoth_static PROPERTIES OUTPUT_NAME cobaltmoth)
target_include_directories(cobaltmoth_static PUBLIC ${PROJECT_SOURCE_DIR}/include
                                                   ${PROJECT_BINARY_DIR}/include)
target_link_libraries(cobaltmoth_static PUBLIC ${COBALTMOTH_WINDOWS_LIBS})
add_library(cobaltmoth_internal INTERFACE)
target_link_libraries(cobaltmoth_internal INTERFACE cobaltmoth_static)
target_include_directories(cobaltmoth_internal INTERFACE ${PROJECT_SOURCE_DIR})

# The C and C++ runtimes and winpthread go into the DLL, so that it needs only system DLLs.
set(COBALTMOTH_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)

# The type library writer, shared by the DLL (which writes Cobaltmoth.tlb beside itself when it
# registers) and by cobaltmoth-typelib, the build's writer.
add_library(cobaltmoth_typelib OBJECT component/com/type_library.cpp)
target_include_directories(cobaltmoth_typelib PRIVATE ${PROJECT_SOURCE_DIR}
                           ${PROJECT_SOURCE_DIR}/include)
cobaltmoth_warnings(cobaltmoth_typelib)
target_compile_options(cobaltmoth_typelib PRIVATE -Wno-non-virtual-dtor)

add_executable(cobaltmoth-typelib component/com/typelib_writer.cpp)
target_include_directories(cobaltmoth-typelib PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(cobaltmoth-typelib PRIVATE cobaltmoth_typelib cobaltmoth_internal)
target_link_options(cobaltmoth-typelib PRIVATE -municode ${COBALTMOTH_STATIC_RUNTIME})
cobaltmoth_warnings(cobaltmoth-typelib)
target_compile_options(cobaltmoth-typelib PRIVATE -Wno-non-virtual-dtor)

# The DLL carries its type library as resource TYPELIB 1, written at build time. A
# cross-compiled writer runs under CMAKE_CROSSCOMPILING_EMULATOR (Wine). 32-bit code cannot run
# everywhere a 32-bit DLL is built (64-bit Wine cannot run it): such a build names a 64-bit
# writer, which writes the 32-bit library just as well.
set(COBALTMOTH_TYPELIB_WRITER "" CACHE FILEPATH
    "A cobaltmoth-typelib.exe to run instead of this build's own (a 64-bit one for a 32-bit build)")
if(COBALTMOTH_TYPELIB_WRITER)
  set(typelib_writer ${COBALTMOTH_TYPELIB_WRITER})
else()
  set(typelib_writer $<TARGET_FILE:cobaltmoth-typelib>)
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(typelib_kind win64)
else()
  set(typelib_kind win32)
endif()
# In a folder of its own: registration writes and removes Cobaltmoth.tlb beside the DLL.
set(COBALTMOTH_TYPELIB ${PROJECT_BINARY_DIR}/typelib/Cobaltmoth.tlb)
add_custom_command(OUTPUT ${COBALTMOTH_TYPELIB}
  COMMAND ${CMAKE_COMMAND} -E make_directory typelib
  COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${typelib_writer} ${typelib_kind} typelib/Cobaltmoth.tlb
  DEPENDS ${typelib_writer}
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  COMMENT "Writing the ${typelib_kind} type library"
  VERBATIM)

add_library(cobaltmoth_com SHARED
  component/com/com_objects.cpp
  component/com/server.cpp
  component/com/cobaltmoth.rc
  component/com/cobaltmoth.def
)
target_sources(cobaltmoth_com PRIVATE $<TARGET_OBJECTS:cobaltmoth_typelib>)
# The event source's message table, built by windmc into messages/ of the build folder.
find_program(COBALTMOTH_WINDMC NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-windmc windmc REQUIRED)
set(messages_dir ${PROJECT_BINARY_DIR}/messages)
add_custom_command(OUTPUT ${messages_dir}/messages.rc ${messages_dir}/MSG00409.bin
  COMMAND ${CMAKE_COMMAND} -E make_directory ${messages_dir}
  COMMAND ${COBALTMOTH_WINDMC} -h ${messages_dir} -r ${messages_dir}
          ${PROJECT_SOURCE_DIR}/component/com/messages.mc
  DEPENDS ${PROJECT_SOURCE_DIR}/component/com/messages.mc
  COMMENT "Building the event source's message table"
  VERBATIM)
# windres tells the build nothing of what the script includes: the string table, the icon, the
# type library and the message table are named here, so that a change to any rebuilds the
# DLL's resources.
set(cobaltmoth_rc_includes ${PROJECT_SOURCE_DIR}/component/resources/strings.rc
                           ${PROJECT_SOURCE_DIR}/component/resources/icon101.ico
                           ${COBALTMOTH_TYPELIB} ${messages_dir}/messages.rc
                           ${messages_dir}/MSG00409.bin)
set_source_files_properties(${PROJECT_SOURCE_DIR}/component/com/cobaltmoth.rc PROPERTIES
                            OBJECT_DEPENDS "${cobaltmoth_rc_includes}")
set_target_properties(cobaltmoth_com PROPERTIES OUTPUT_NAME Cobaltmoth PREFIX "" IMPORT_PREFIX ""
                      IMPORT_SUFFIX ".lib")
target_include_directories(cobaltmoth_com PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}
                           ${messages_dir})
target_link_libraries(cobaltmoth_com PRIVATE cobaltmoth_internal)
target_link_options(cobaltmoth_com PRIVATE ${COBALTMOTH_STATIC_RUNTIME}
                    $<$<STREQUAL:${CMAKE_SYSTEM_PROCESSOR},i686>:-Wl,--enable-stdcall-fixup>)
cobaltmoth_warnings(cobaltmoth_com)
# COM interfaces are released through Release(), never deleted through a base pointer.
target_compile_options(cobaltmoth_com PRIVATE -Wno-non-virtual-dtor)
add_library(cobaltmoth::com ALIAS cobaltmoth_com)

# What the kit takes from this build (cmake/CobaltmothPackage.cmake): the DLL and its type
# library under x64\ or x86\ (component dll); the samples, the kit's README and the licence
# (component kit), with CR LF line ends as Windows editors and VB6 expect.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(kit_arch x64)
else()
  set(kit_arch x86)
endif()
install(TARGETS cobaltmoth_com RUNTIME DESTINATION ${kit_arch} COMPONENT dll
        ARCHIVE DESTINATION ${kit_arch} COMPONENT import_library EXCLUDE_FROM_ALL)
install(FILES ${COBALTMOTH_TYPELIB} DESTINATION ${kit_arch} COMPONENT dll)

# cobaltmoth-send.exe: sends the outbox's reports to their error tracker, started by the DLL
# from its own folder. A program of its own rather than an entry of the DLL for rundll32: WinHTTP
# stays out of every host's process, and a firewall or a security product sees the program that
# connects by its own name.
add_executable(cobaltmoth-send tools/cobaltmoth-send.cpp tools/send/sender.cpp
                               tools/send/winhttp_transport.cpp)
target_link_libraries(cobaltmoth-send PRIVATE cobaltmoth_internal winhttp)
target_link_options(cobaltmoth-send PRIVATE ${COBALTMOTH_STATIC_RUNTIME})
cobaltmoth_warnings(cobaltmoth-send)
install(TARGETS cobaltmoth-send RUNTIME DESTINATION ${kit_arch} COMPONENT dll)
foreach(file README-windows.txt CobaltmothSample.bas vb6/Orders.vbp)
  configure_file(examples/windows/${file} kit/${file} @ONLY NEWLINE_STYLE CRLF)
endforeach()
configure_file(LICENSE kit/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/kit/README-windows.txt ${PROJECT_BINARY_DIR}/kit/LICENSE.txt
        DESTINATION . COMPONENT kit)
install(FILES ${PROJECT_BINARY_DIR}/kit/CobaltmothSample.bas DESTINATION samples COMPONENT kit)
install(FILES ${PROJECT_BINARY_DIR}/kit/vb6/Orders.vbp DESTINATION samples/vb6 COMPONENT kit)
if(PROJECT_IS_TOP_LEVEL)
  include(cmake/CobaltmothPackage.cmake)
endif()

if(COBALTMOTH_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests/windows)
endif()

# Google Benchmark has no Windows package here: the benchmarks need its sources.
set(COBALTMOTH_BENCHMARK_SOURCE "" CACHE PATH "Google Benchmark's sources, for the Windows benchmarks")
if(COBALTMOTH_BUILD_BENCHMARKS AND COBALTMOTH_BENCHMARK_SOURCE)
  add_subdirectory(bench/windows)
endif()
