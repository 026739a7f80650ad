// The process-wide entry points of the quarantine store, set to the system calls.
#include "quarantine_hooks.h"

static time_t SystemTime(time_t* pTime)
{
    return time(pTime);
}

PFN_GETSYSTEMTIMEASFILETIME g_pfnGetSystemTimeAsFileTime = GetSystemTimeAsFileTime;
PFN_TIME g_pfnTime = SystemTime;
PFN_GETFILEATTRIBUTESA g_pfnGetFileAttributesA = GetFileAttributesA;
PFN_MOVEFILEA g_pfnMoveFileA = MoveFileA;
PFN_SLEEP g_pfnSleep = Sleep;

void ResetQuarantineHooks()
{
    g_pfnGetSystemTimeAsFileTime = GetSystemTimeAsFileTime;
    g_pfnTime = SystemTime;
    g_pfnGetFileAttributesA = GetFileAttributesA;
    g_pfnMoveFileA = MoveFileA;
    g_pfnSleep = Sleep;
}
