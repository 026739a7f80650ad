# vendrel_windows_dll(<target> <name>): a shared library that is loaded or linked as <name>.
#
# On Windows the DLL is <name>.dll, the name the program and the tests load (mingw would call it
# lib<name>.dll), and its import library <name>.dll.a lies in lib/<target>/, so that libraries
# that share a DLL name, such as the test engines, keep theirs apart. C exports keep their plain
# names: x64 has no stdcall decoration, and --kill-at strips it on 32 bits. Elsewhere the library
# is lib<name>.so.
function(vendrel_windows_dll TARGET NAME)
  set_target_properties(${TARGET} PROPERTIES OUTPUT_NAME ${NAME})
  if(WIN32)
    set_target_properties(${TARGET} PROPERTIES PREFIX "" IMPORT_PREFIX ""
                          ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib/${TARGET})
    target_link_options(${TARGET} PRIVATE -Wl,--kill-at)
  endif()
endfunction()
