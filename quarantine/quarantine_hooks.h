// The clock and file-system calls of the quarantine store go through these process-wide
// pointers, so that tests and benchmarks can stand in for "now" and for a competing process.
// Each starts as the system call itself; the program never changes them.
#pragma once

#include "platform.h"

#include <ctime>

typedef void(WINAPI* PFN_GETSYSTEMTIMEASFILETIME)(LPFILETIME lpSystemTimeAsFileTime);
typedef time_t (*PFN_TIME)(time_t* pTime);
typedef DWORD(WINAPI* PFN_GETFILEATTRIBUTESA)(LPCSTR lpFileName);
typedef BOOL(WINAPI* PFN_MOVEFILEA)(LPCSTR lpExistingFileName, LPCSTR lpNewFileName);
typedef void(WINAPI* PFN_SLEEP)(DWORD dwMilliseconds);

// "Now" for the age of the size cache file.
extern PFN_GETSYSTEMTIMEASFILETIME g_pfnGetSystemTimeAsFileTime;
// The time stamp of a quarantined file's name.
extern PFN_TIME g_pfnTime;
// The status query of the free-name search.
extern PFN_GETFILEATTRIBUTESA g_pfnGetFileAttributesA;
// The move of the upload into the folder.
extern PFN_MOVEFILEA g_pfnMoveFileA;
// The pause between tries to open a size cache file that another process holds.
extern PFN_SLEEP g_pfnSleep;

// Puts every pointer back to the system call.
void ResetQuarantineHooks();
