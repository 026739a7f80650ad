// GetModuleFileNameA for the running executable.
#include "pal_internal.h"

#include <cerrno>
#include <unistd.h>

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    if (hModule != nullptr)
    {
        // Only the executable itself is asked for.
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (lpFilename == nullptr || nSize == 0)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    char szPath[4096];
    ssize_t nLen = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    if (nLen < 0)
    {
        PalSetErrorFromErrno(errno);
        lpFilename[0] = '\0';
        return 0;
    }
    size_t nPath = static_cast<size_t>(nLen);
    if (nPath >= nSize)
    {
        // Windows cuts the path to fit with its terminator and answers the buffer size.
        memcpy(lpFilename, szPath, nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    memcpy(lpFilename, szPath, nPath);
    lpFilename[nPath] = '\0';
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(nPath);
}
