// The size cache file ".store": an 8-byte little-endian signed total of the folder, trusted for
// the cache life after its last write. Reading it, judging its age, and rewriting it after a
// flat scan of the folder.
#include "quarantine.h"

#include "kelsio.h"
#include "platform.h"
#include "system_calls.h"
#include "trace.h"

// The source lines that the size cache traces carry; log readers know them by these.
enum
{
    kLineAge = 404,
    kLineAgeTimeFailed = 417,
    kLineAgeOpenFailed = 426,
    kLineStoreOutOfDate = 471,
    kLineStoreOpenFailed = 486,
    kLineListingFailed = 496,
    kLineStoreWriteFailed = 543,
};

static const DWORD kCacheBytes = 8;
// A writer holds ".store" for microseconds, but a busy machine can preempt it while it does: an
// open refused for sharing is tried again this often, for at most this long in all, before the
// caller falls back to a listing (reader) or gives up the write.
static const DWORD kShareRetryMs = 2;
static const DWORD kShareRetryBudgetMs = 50;

// "<folder><sep><name>" cut to fit a MAX_PATH buffer with its terminator.
static void FormatFolderPath(char* szOut, const char* szFolder, const char* szName)
{
    _snprintf(szOut, MAX_PATH - 1, "%s" VENDREL_DIR_SEP_STR "%s", szFolder, szName);
    szOut[MAX_PATH - 1] = '\0';
}

static uint64_t FileTimeValue(const FILETIME& ft)
{
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// The stored total counts only when all 8 bytes were read and it is above 0.
static int64_t ReadCachedSize(HANDLE hFile)
{
    BYTE abValue[kCacheBytes] = {0};
    DWORD dwRead = 0;
    if (!ReadFile(hFile, abValue, kCacheBytes, &dwRead, nullptr) || dwRead != kCacheBytes)
    {
        return 0;
    }
    uint64_t nValue = 0;
    for (int i = static_cast<int>(kCacheBytes) - 1; i >= 0; --i)
    {
        nValue = (nValue << 8) | abValue[i];
    }
    int64_t nSize = static_cast<int64_t>(nValue);
    return nSize > 0 ? nSize : 0;
}

// CreateFileA on the cache file, tried again while another process holds it; *pbWaited tells
// whether it had to wait. The budget counts the sleeps asked for, so the wait stays bounded
// whatever the clock does.
static HANDLE OpenStore(const char* szPath, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition,
                        DWORD dwAttributes, bool* pbWaited = nullptr)
{
    DWORD dwSlept = 0;
    for (;;)
    {
        HANDLE hFile =
            CreateFileA(szPath, dwAccess, dwShare, nullptr, dwDisposition, dwAttributes, nullptr);
        if (hFile != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
            dwSlept >= kShareRetryBudgetMs)
        {
            if (pbWaited != nullptr)
            {
                *pbWaited = dwSlept > 0;
            }
            return hFile;
        }
        osSleep(kShareRetryMs);
        dwSlept += kShareRetryMs;
    }
}

// One flat pass over the listing: every entry adds the size it reports, nothing is opened.
static int64_t ScanFolder(const char* szPattern)
{
    WIN32_FIND_DATAA findData;
    HANDLE hFind = FindFirstFileA(szPattern, &findData);
    if (hFind == INVALID_HANDLE_VALUE)
    {
        DWORD dwError = GetLastError();
        LogTrace(kLevelWarning, VENDREL_TRACE_SOURCE, kLineListingFailed,
                 "getFolderSize - FindFirstFile(%s) failed with win32 error (%d)", szPattern,
                 static_cast<int>(dwError));
        return 0;
    }
    uint64_t nTotal = 0;
    do
    {
        nTotal += (static_cast<uint64_t>(findData.nFileSizeHigh) << 32) + findData.nFileSizeLow;
    } while (FindNextFileA(hFind, &findData));
    FindClose(hFind);
    return static_cast<int64_t>(nTotal);
}

int64_t getFolderSize(const char* szFolder)
{
    char szStorePath[MAX_PATH];
    char szPattern[MAX_PATH];
    FormatFolderPath(szStorePath, szFolder, ".store");
    FormatFolderPath(szPattern, szFolder, "*");

    HANDLE hFile =
        OpenStore(szStorePath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        DWORD dwError = GetLastError();
        LogTrace(kLevelWarning, VENDREL_TRACE_SOURCE, kLineStoreOpenFailed,
                 "getFolderSize - CreateFile(%s) failed with win32 error (%d)", szStorePath,
                 static_cast<int>(dwError));
    }
    else
    {
        // Read and let go at once: a writer waits for every reader that holds the file, and the
        // age test below traces and reads the settings.
        int64_t nSize = ReadCachedSize(hFile);
        CloseHandle(hFile);
        if (!IsFileOutOfDate(szStorePath))
        {
            // A zero or invalid value is the answer until the cache goes stale: no scan, no write.
            return nSize;
        }
        LogTrace(kLevelInfo, VENDREL_TRACE_SOURCE, kLineStoreOutOfDate,
                 "getFolderSize - .store is out of date, need to recalculate");
    }

    int64_t nTotal = ScanFolder(szPattern);
    // Written back even after a failed listing, and whatever the write's outcome.
    writeFolderSize(szFolder, nTotal);
    return nTotal;
}

bool IsFileOutOfDate(const char* szPath)
{
    // "Now" comes first, so the time spent opening the file does not count toward its age.
    FILETIME ftNow = {0, 0};
    osGetSystemTimeAsFileTime(&ftNow);

    bool bWaited = false;
    HANDLE hFile = OpenStore(szPath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, &bWaited);
    if (bWaited && hFile != INVALID_HANDLE_VALUE)
    {
        // The process we waited for has just rewritten the file, after "now" was taken: its age
        // counts from the end of the wait, or that fresh write would look like one from the future.
        osGetSystemTimeAsFileTime(&ftNow);
    }
    if (hFile == INVALID_HANDLE_VALUE)
    {
        DWORD dwError = GetLastError();
        LogTrace(kLevelWarning, VENDREL_TRACE_SOURCE, kLineAgeOpenFailed,
                 "IsFileOutOfDate - CreateFile(%s) failed with win32 error (%d)", szPath,
                 static_cast<int>(dwError));
        return true;
    }
    FILETIME ftLastWrite = {0, 0};
    if (!GetFileTime(hFile, nullptr, nullptr, &ftLastWrite))
    {
        DWORD dwError = GetLastError();
        LogTrace(kLevelError, VENDREL_TRACE_SOURCE, kLineAgeTimeFailed,
                 "IsFileOutOfDate - GetFileTime(%s) failed with win32 error (%d)", szPath,
                 static_cast<int>(dwError));
        CloseHandle(hFile);
        return true;
    }
    CloseHandle(hFile);

    // A last write in the future wraps to a huge unsigned age: out of date.
    uint64_t nElapsed = (FileTimeValue(ftNow) - FileTimeValue(ftLastWrite)) / 10000000u;
    int32_t nElapsed32 = static_cast<int32_t>(static_cast<uint32_t>(nElapsed));
    LogTrace(kLevelDebug, VENDREL_TRACE_SOURCE, kLineAge,
             "IsFileOutOfDate - File was updated (%d) minute (%d) second ago", nElapsed32 / 60,
             nElapsed32 % 60);

    int nLife = getINIint("INI_SERVER_SECTION", "Quarantine_Folder_Cache_Life", 20, nullptr);
    if (nLife <= 0)
    {
        nLife = 20;
    }
    // In 64 bits: lives above 35,791,394 minutes would overflow a 32-bit product and turn the
    // limit negative or small, making a fresh cache look stale.
    uint64_t nLimit = static_cast<uint64_t>(nLife) * 60u;
    return nElapsed > nLimit;
}

bool writeFolderSize(const char* szFolder, int64_t nFolderSize)
{
    char szStorePath[MAX_PATH];
    FormatFolderPath(szStorePath, szFolder, ".store");
    HANDLE hFile = OpenStore(szStorePath, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineStoreWriteFailed,
                 "[Vendrel:writeFolderSize] write Folder Size into file \"%s\" failed",
                 szStorePath);
        return false;
    }
    // Least significant byte first, whatever the host's byte order.
    BYTE abValue[kCacheBytes];
    uint64_t nValue = static_cast<uint64_t>(nFolderSize);
    for (DWORD i = 0; i < kCacheBytes; ++i)
    {
        abValue[i] = static_cast<BYTE>(nValue >> (8 * i));
    }
    // A failed or short write is not acted on: within the cache life it reads back as 0.
    DWORD dwWritten = 0;
    WriteFile(hFile, abValue, kCacheBytes, &dwWritten, nullptr);
    CloseHandle(hFile);
    return true;
}
