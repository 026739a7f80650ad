// The process-wide trace state. It lives in static storage for the whole process; the trace
// set-up writes the module tag, the ANSI file name, the library handle and its entry points,
// the trace client writes the rest. No lock: one process serves one request on one thread.
#pragma once

#include "platform.h"

// Entry points of the optional trace library, looked up by name.
typedef int(WINAPI* PFN_SD_INITDEBUG_WITH_INI_0200)(const char* szSettingsPath,
                                                    const char* szBuildDate,
                                                    const char* szBuildTime);
typedef int (*PFN_SD_TRACEA_0200)(const char* szSource, int nLine, int nLevel, const char* szFormat,
                                  ...);
typedef int(WINAPI* PFN_SD_TRACEW)(int nReserved1, int nReserved2, int nReserved3,
                                   const WCHAR* wszSource, int nLine, int nLevel,
                                   const WCHAR* wszMessage);
// Looked up only so that their presence is known; never called.
typedef void (*PFN_SD_UNUSED)();

// Trace gate: true while LogTrace sends.
extern BOOL g_bTraceEnabled;
// Calls refused by the closed gate since it last looked at the clock.
extern int g_nDropCount;
// Tick count taken when the last send failed.
extern DWORD g_dwLastFailTick;

// Module tag, the first bracket of every message; empty until the trace set-up runs. The buffers
// hold TRACE_MODULE_TAG_UNITS - 1 characters and the terminator.
static const size_t TRACE_MODULE_TAG_UNITS = 1024;
extern char g_szModuleTag[TRACE_MODULE_TAG_UNITS];
extern WCHAR g_wszModuleTag[TRACE_MODULE_TAG_UNITS];

// File name of the running executable, the second bracket of every message. Each encoding's
// copy is filled on its first use.
extern char g_szExeName[MAX_PATH];
extern BOOL g_bExeNameReady;
extern WCHAR g_wszExeName[MAX_PATH];
extern BOOL g_bExeNameReadyW;

// The loaded trace library, null when none is loaded, and its entry points (null when absent).
extern HMODULE g_hTraceLib;
extern PFN_SD_INITDEBUG_WITH_INI_0200 g_pfnInitDebugWithIni;
extern PFN_SD_UNUSED g_pfnTraceW0200;
extern PFN_SD_TRACEA_0200 g_pfnTraceA0200;
extern PFN_SD_TRACEW g_pfnTraceW;
extern PFN_SD_UNUSED g_pfnSetDebugMsg;
extern PFN_SD_UNUSED g_pfnDbLogTrace;

// The report that the log server is not running has been made in this process.
extern BOOL g_bServerHintShown;

// Puts every field back to its state at process start: gate open, drop count 0, hint flag
// clear, tag and file names empty, no library (a loaded library stays loaded). For tests,
// which run many "processes" in one.
void ResetTraceState();
