// The running executable's file name, in the ANSI code page and in UTF-16.
#include "module_name.h"

#include "system_calls.h"

#include <string.h>

void getModuleBaseName(char* szName)
{
    char szPath[MAX_PATH];
    memset(szPath, 0, sizeof(szPath));
    szName[0] = '\0';
    DWORD dwLen = osGetModuleFileNameA(NULL, szPath, MAX_PATH);
    if (dwLen == 0)
    {
        return;
    }
    // A path cut at the buffer's end may lack its terminator.
    szPath[MAX_PATH - 1] = '\0';
    const char* pLastSep = strrchr(szPath, VENDREL_DIR_SEP);
    const char* pName = pLastSep != NULL ? pLastSep + 1 : szPath;
    memcpy(szName, pName, strlen(pName) + 1);
}

void getModuleBaseNameW(WCHAR* wszName)
{
    char szName[MAX_PATH];
    getModuleBaseName(szName);
    wszName[0] = 0;
    int nUnits = MultiByteToWideChar(CP_ACP, 0, szName, -1, wszName, MAX_PATH);
    if (nUnits <= 0)
    {
        wszName[0] = 0;
    }
    wszName[MAX_PATH - 1] = 0;
}
