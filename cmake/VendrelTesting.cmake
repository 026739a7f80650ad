# GoogleTest and the helpers every test directory uses.
#
# Native presets take GoogleTest from the Debian package; the Windows preset builds it from
# the sources that the same package ships, with the cross compiler.

if(WIN32)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
  # GoogleTest's own sources are not ours to hold to -Wextra.
  target_compile_options(gtest PRIVATE -w)
  target_compile_options(gtest_main PRIVATE -w)
else()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

if(WIN32)
  # The program and Kelsio.dll pass C++ objects across their boundary, so they must share
  # one C++ runtime: the mingw runtime DLLs go into bin/ beside them.
  get_filename_component(_vendrel_cxx_dir ${CMAKE_CXX_COMPILER} DIRECTORY)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                  OUTPUT_VARIABLE _vendrel_libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libgcc_s_seh-1.dll
                  OUTPUT_VARIABLE _vendrel_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
  find_file(_vendrel_winpthread libwinpthread-1.dll
            PATHS /usr/${VENDREL_MINGW_TRIPLE}/lib NO_DEFAULT_PATH REQUIRED)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  file(COPY ${_vendrel_libstdcxx} ${_vendrel_libgcc} ${_vendrel_winpthread}
       DESTINATION ${CMAKE_BINARY_DIR}/bin)

  # A Wine prefix inside the build tree, made once before the first test that needs it, with
  # one wine server for the whole run.
  add_test(NAME wine_prefix
           COMMAND ${CMAKE_COMMAND} -DPREFIX=${CMAKE_BINARY_DIR}/wineprefix -DWINE=${VENDREL_WINE}
                   -P ${CMAKE_SOURCE_DIR}/cmake/WinePrefix.cmake)
  set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine)
  add_test(NAME wine_server_stop
           COMMAND ${CMAKE_COMMAND} -DPREFIX=${CMAKE_BINARY_DIR}/wineprefix -DWINE=${VENDREL_WINE}
                   -DACTION=stop -P ${CMAKE_SOURCE_DIR}/cmake/WinePrefix.cmake)
  set_tests_properties(wine_server_stop PROPERTIES FIXTURES_CLEANUP wine)
endif()

# vendrel_add_unit_test(NAME <name> SOURCES <files...> [LIBS <targets...>])
# One GoogleTest executable. Natively each test case is its own CTest test; under Wine the
# executable is one CTest test, which saves a Wine start per case.
function(vendrel_add_unit_test)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  if(WIN32)
    add_test(NAME ${ARG_NAME} COMMAND ${ARG_NAME})
    set_tests_properties(${ARG_NAME} PROPERTIES FIXTURES_REQUIRED wine
                         WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  else()
    gtest_discover_tests(${ARG_NAME} WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
                         DISCOVERY_MODE PRE_TEST)
  endif()
endfunction()

# The same wrapper for tests that run our executables from a script or a test driver:
# the emulator is set for Windows, nothing natively.
if(WIN32)
  set(VENDREL_RUNNER ${CMAKE_CROSSCOMPILING_EMULATOR})
else()
  set(VENDREL_RUNNER "")
endif()

# vendrel_add_engine_library(<target> <dir> <sources>...): a test library under the scanning
# engine's file name (pelix32.dll, libpelix32.so) in bin/<dir>/, so that test programs run from
# there load it in place of the real engine.
function(vendrel_add_engine_library TARGET DIR)
  add_library(${TARGET} SHARED ${ARGN})
  set_target_properties(${TARGET} PROPERTIES
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/${DIR}
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/${DIR})
  vendrel_private_cxx_runtime(${TARGET})
  vendrel_windows_dll(${TARGET} pelix32)
endfunction()
