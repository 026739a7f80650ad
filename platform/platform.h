// The one platform interface of Vendrel.
//
// The program calls the Win32 API and the C runtime by their own names. On Windows this header
// only brings in the system headers; on POSIX it brings in the platform layer under posix/, which
// implements that same subset from POSIX calls. Nothing outside platform/ tests _WIN32.
#pragma once

#ifdef _WIN32

#include <windows.h>
#include <direct.h>
#include <io.h>
#include <fcntl.h>
#include <mbstring.h>
#include <sys/stat.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// Wide literals: WCHAR is wchar_t (UTF-16) here.
#define VTEXT(s) L##s
// The separator the file system uses, and its text form for path formats.
#define VENDREL_DIR_SEP '\\'
#define VENDREL_DIR_SEP_STR "\\"
// Symbols that a shared library of ours exports, and that its users import.
#define VENDREL_EXPORT __declspec(dllexport)
#define VENDREL_IMPORT __declspec(dllimport)
// printf-style checking of our own variadic functions, with the C runtime's conversions.
#define VENDREL_PRINTF(fmt, args) __attribute__((format(ms_printf, fmt, args)))
// The source std::random_device draws from: the C++ runtime's own choice.
#define VENDREL_RANDOM_SOURCE "default"
// Nothing to ready: the process shares the one unwinder of the runtime DLLs.
inline void PalPrepareUnwinder() {}

#else

#include "posix/pal.h"

#define VTEXT(s) u##s
#define VENDREL_DIR_SEP '/'
#define VENDREL_DIR_SEP_STR "/"
#define VENDREL_EXPORT __attribute__((visibility("default")))
#define VENDREL_IMPORT
#define VENDREL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
// The kernel's generator: the runtime's own choice would be the processor's RDSEED, which a
// virtual machine often runs dry and which then costs a CGI process some 20 us of retries.
#define VENDREL_RANDOM_SOURCE "getentropy"

#endif
