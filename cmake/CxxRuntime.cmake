# How the native build links the C++ runtime.
#
# The program and the CGI support library hand C++ objects to each other (an std::ostream, the
# strings and exceptions behind them), so they must share one C++ runtime. Loading the shared
# libstdc++ for that costs a CGI process more than all its own work: binding the library's
# symbols at start-up is most of the instructions of a request. So the native build links the
# runtime once, statically, into the program, and the support library binds to the program's
# copy (it is linked without a runtime of its own; the program exports what it uses). Libraries
# the program loads at run time behind a plain C interface (the trace library and the test
# stand-ins of the engine) each carry a private static copy, hidden from the rest; the scanning
# engine itself needs none and is built without one (components/pelix). The unwinder goes in
# statically too, a hidden copy in each library, so that no request loads libgcc_s.
#
# Test programs link the shared runtime as usual, and the support library binds to that one.
# The sanitizer and fuzz builds keep the shared runtime everywhere: their runtimes replace the
# allocator, which a static copy in the program would bypass. Windows shares the mingw runtime
# DLLs, as before.
if(NOT WIN32 AND NOT VENDREL_SANITIZE AND NOT VENDREL_FUZZ)
  option(VENDREL_STATIC_CXX_RUNTIME "Link the C++ runtime statically into the program" ON)
else()
  set(VENDREL_STATIC_CXX_RUNTIME OFF)
endif()

# The program: the runtime inside, for itself and for the support library. The unwinder (the
# part of the runtime that exceptions need, in libgcc_s otherwise) goes in too, so that no
# request loads one more library for it.
function(vendrel_program_cxx_runtime TARGET)
  if(VENDREL_STATIC_CXX_RUNTIME)
    target_link_options(${TARGET} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()

# A shared library that binds to the C++ runtime of the program that loads it.
function(vendrel_borrowed_cxx_runtime TARGET)
  if(VENDREL_STATIC_CXX_RUNTIME)
    # No default libraries, so no libstdc++ and no libgcc_s. The C library and libgcc's helpers
    # come back by name, and a hidden copy of the unwinder (its static copy in the program cannot
    # be exported): the only entry the library calls itself is _Unwind_Resume, at the end of a
    # clean-up it runs while an exception of the program's runtime passes through it, and any
    # copy of the unwinder continues that from the same exception object.
    target_link_options(${TARGET} PRIVATE -nodefaultlibs)
    target_link_libraries(${TARGET} PRIVATE c gcc_eh gcc)
  endif()
endfunction()

# A shared library with a C interface that keeps a C++ runtime of its own, hidden, the unwinder
# included.
function(vendrel_private_cxx_runtime TARGET)
  if(VENDREL_STATIC_CXX_RUNTIME)
    target_link_options(${TARGET} PRIVATE -static-libstdc++ -static-libgcc -Wl,--exclude-libs,ALL)
  endif()
endfunction()

# Code for a library with no C++ runtime at all (the scanning engine): no exception tables, type
# information or guarded statics, and each function and datum in a section of its own, so that
# the library's link keeps only what its export reaches.
function(vendrel_code_without_cxx_runtime TARGET)
  target_compile_options(${TARGET} PRIVATE -fno-exceptions -fno-rtti -fno-threadsafe-statics
                                           -ffunction-sections -fdata-sections)
endfunction()
