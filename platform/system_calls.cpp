// The table of overridable system calls, each entry starting as the system's own function.
#include "system_calls.h"

#include <string.h>

#ifndef _WIN32
#include "posix/pal_internal.h"

#include <sys/file.h>
#include <unistd.h>
#endif

// An entry's name, and the system's function as both its current and its default pointer.
#define SYSTEM_CALL_ENTRY(name) #name, (SYSTEM_CALL_PTR)name, (SYSTEM_CALL_PTR)name

// In the order of ESystemCall, which the accessors index by.
CSystemCall g_aSystemCalls[SYSCALL_COUNT] = {
    {SYSTEM_CALL_ENTRY(CreateFileW)},
    {SYSTEM_CALL_ENTRY(WriteFile)},
    {SYSTEM_CALL_ENTRY(GetTickCount)},
    {SYSTEM_CALL_ENTRY(GetSystemTimeAsFileTime)},
    {SYSTEM_CALL_ENTRY(time)},
    {SYSTEM_CALL_ENTRY(GetFileAttributesA)},
    {SYSTEM_CALL_ENTRY(MoveFileA)},
    {SYSTEM_CALL_ENTRY(Sleep)},
    {SYSTEM_CALL_ENTRY(FlushFileBuffers)},
    {SYSTEM_CALL_ENTRY(GetModuleFileNameA)},
#ifndef _WIN32
    {SYSTEM_CALL_ENTRY(fsync)},
    {SYSTEM_CALL_ENTRY(link)},
    {SYSTEM_CALL_ENTRY(PalRenameNoReplace)},
    {SYSTEM_CALL_ENTRY(write)},
    {SYSTEM_CALL_ENTRY(flock)},
#endif
};

static CSystemCall* FindSystemCall(const char* szName)
{
    for (int i = 0; szName != NULL && i < SYSCALL_COUNT; i++)
    {
        if (strcmp(g_aSystemCalls[i].szName, szName) == 0)
        {
            return &g_aSystemCalls[i];
        }
    }
    return NULL;
}

BOOL SetSystemCall(const char* szName, SYSTEM_CALL_PTR pfnCall)
{
    CSystemCall* pEntry = FindSystemCall(szName);
    if (pEntry == NULL)
    {
        return FALSE;
    }
    pEntry->pfnCurrent = pfnCall != NULL ? pfnCall : pEntry->pfnDefault;
    return TRUE;
}

SYSTEM_CALL_PTR GetSystemCall(const char* szName)
{
    CSystemCall* pEntry = FindSystemCall(szName);
    return pEntry != NULL ? pEntry->pfnCurrent : NULL;
}

void ResetSystemCalls()
{
    for (int i = 0; i < SYSCALL_COUNT; i++)
    {
        g_aSystemCalls[i].pfnCurrent = g_aSystemCalls[i].pfnDefault;
    }
}
