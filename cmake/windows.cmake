# The Windows build, with mingw-w64: libqxw.dll, its import library and header, and programs that
# stand alone (the codec and the compiler's runtimes linked in, so no DLL need lie beside them).
# From a Linux host: cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# and the tests run under Wine.

# The compiler's runtimes (libstdc++, libgcc, winpthread) linked in.
set(qxw_static_runtime -static -static-libgcc -static-libstdc++)

add_library(qxw SHARED ${qxw_objects})
add_library(qxw::qxw ALIAS qxw)
set_target_properties(qxw PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
target_include_directories(qxw PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# Only what the header marks for export, the C interface, leaves the DLL: no version script.
target_link_libraries(qxw PRIVATE Threads::Threads)
target_link_options(qxw PRIVATE ${qxw_static_runtime})

add_library(qxw_internal STATIC ${qxw_objects})
target_include_directories(qxw_internal PUBLIC src include)
target_link_libraries(qxw_internal PUBLIC Threads::Threads)

# The programs, over the same layer of the system's calls as elsewhere.
add_library(qxw_app OBJECT ${qxw_app_sources} src/app/platform_windows.cpp)
qxw_layer(qxw_app app)
foreach(program wav2qxw qxw2wav)
  add_executable(${program} src/app/${program}_main.cpp)
  target_link_libraries(${program} PRIVATE qxw_app qxw_internal)
  qxw_layer(${program} app)
  # wmain: the command line in UTF-16, whatever the code page.
  target_link_options(${program} PRIVATE -municode ${qxw_static_runtime})
endforeach()

install(TARGETS wav2qxw qxw2wav RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS qxw RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/qxw/qxw.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qxw)
install(FILES README.md LICENSE DESTINATION .)
# cpack makes the zip: programs, DLL, import library, header, README and LICENSE.
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME qxw-${PROJECT_VERSION}-windows-x86_64)
include(CPack)

if(QXW_BUILD_TESTS)
  # GoogleTest from the sources Debian's libgtest-dev ships, built with this compiler.
  set(QXW_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources")
  if(EXISTS ${QXW_GOOGLETEST_SOURCE}/CMakeLists.txt)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(${QXW_GOOGLETEST_SOURCE} ${CMAKE_CURRENT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    enable_testing()
    # The same tests as elsewhere, the programs started by CreateProcessW.
    qxw_add_test_program(tests/support/run_program_windows.cpp gtest gtest_main psapi)
    target_link_options(qxw_tests PRIVATE ${qxw_static_runtime})
    if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
      message(STATUS "Wine not found: the tests are built but not run (apt-get install wine64)")
    else()
      include(GoogleTest)
      # Listing the tests starts the program under Wine, whose first start makes its prefix.
      gtest_discover_tests(qxw_tests DISCOVERY_TIMEOUT 300)
    endif()
    # The programs under Wine against a Linux build's, byte for byte and line for line.
    set(QXW_LINUX_BUILD "" CACHE PATH "A Linux build of wav2qxw and qxw2wav to compare with")
    if(QXW_LINUX_BUILD AND CMAKE_CROSSCOMPILING_EMULATOR)
      add_test(NAME windows.programs COMMAND bash
        ${CMAKE_CURRENT_SOURCE_DIR}/tests/windows/compare_programs.sh ${CMAKE_CROSSCOMPILING_EMULATOR}
        $<TARGET_FILE:wav2qxw> $<TARGET_FILE:qxw2wav> ${QXW_LINUX_BUILD}
        ${CMAKE_CURRENT_SOURCE_DIR}/samples/chord.wav)
    endif()
  else()
    message(STATUS "GoogleTest's sources not found: the tests are not built "
      "(apt-get install libgtest-dev)")
  endif()
endif()
