// GetModuleFileNameA for the running executable.
#include "pal_internal.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <unistd.h>

// The executable's path, read once: it is asked for several times a request, and like Windows,
// which names the file the process was started from, it stays the same when the file is later
// renamed or replaced.
static char s_szExePath[4096];
static ssize_t s_nExePathLen = -1;
static int s_nExePathErrno = 0;
static std::atomic<bool> s_bExePathRead(false);
static std::mutex s_exePathMutex;

static void ReadExePath()
{
    if (s_bExePathRead.load(std::memory_order_acquire))
    {
        return;
    }
    std::lock_guard<std::mutex> lock(s_exePathMutex);
    if (!s_bExePathRead.load(std::memory_order_relaxed))
    {
        s_nExePathLen = readlink("/proc/self/exe", s_szExePath, sizeof(s_szExePath) - 1);
        s_nExePathErrno = s_nExePathLen < 0 ? errno : 0;
        s_bExePathRead.store(true, std::memory_order_release);
    }
}

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
    ReadExePath();
    if (s_nExePathLen < 0)
    {
        PalSetErrorFromErrno(s_nExePathErrno);
        lpFilename[0] = '\0';
        return 0;
    }
    const char* szPath = s_szExePath;
    size_t nPath = static_cast<size_t>(s_nExePathLen);
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
