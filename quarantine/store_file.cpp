// The size cache file's shared pieces: the bounded wait for a file another process holds, the
// 8-byte value, the age test on an open handle, and the flat listing.
#include "store_file.h"

#include "kelsio.h"
#include "system_calls.h"
#include "trace.h"

// The source lines of the traces that only these pieces write.
enum
{
    kLineAge = 404,
    kLineAgeTimeFailed = 417,
    kLineAgeOpenFailed = 426,
    kLineListingFailed = 496,
};

static const DWORD kCacheBytes = 8;
// A holder keeps ".store" for well under a millisecond, but a busy machine can preempt it while
// it does: an open refused for sharing is tried again this often, for at most this long in all.
static const DWORD kShareRetryMs = 2;
static const DWORD kShareRetryBudgetMs = 50;
static const int kDefaultCacheLifeMinutes = 20;
static const uint64_t kTicksPerSecond = 10000000u;

void FormatFolderPath(char* szOut, const char* szFolder, const char* szName)
{
    _snprintf(szOut, MAX_PATH - 1, "%s" VENDREL_DIR_SEP_STR "%s", szFolder, szName);
    szOut[MAX_PATH - 1] = '\0';
}

HANDLE OpenStore(const char* szPath, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition,
                 DWORD dwFlagsAndAttributes, bool* pbWaited)
{
    // The budget counts the sleeps asked for, so the wait stays bounded whatever the clock does.
    DWORD dwSlept = 0;
    for (;;)
    {
        HANDLE hFile = CreateFileA(szPath, dwAccess, dwShare, nullptr, dwDisposition,
                                   dwFlagsAndAttributes, nullptr);
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

HANDLE HoldStore(const char* szPath, uint64_t* pnFileBytes)
{
    *pnFileBytes = 0;
    HANDLE hFile = OpenStore(szPath, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        return hFile;
    }
    // A link opened as itself is no cache: writing it would write no total anywhere that a
    // reader looks, and following it would write into a file elsewhere.
    const DWORD dwRefused =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(hFile, &info) || (info.dwFileAttributes & dwRefused) != 0)
    {
        CloseHandle(hFile);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    *pnFileBytes = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return hFile;
}

int64_t ReadCachedSize(HANDLE hFile)
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

void EncodeSize(int64_t nSize, BYTE* pbOut)
{
    // Least significant byte first, whatever the host's byte order.
    uint64_t nValue = static_cast<uint64_t>(nSize);
    for (DWORD i = 0; i < kCacheBytes; ++i)
    {
        pbOut[i] = static_cast<BYTE>(nValue >> (8 * i));
    }
}

bool WriteHeldSize(HANDLE hFile, uint64_t nFileBytes, int64_t nSize)
{
    BYTE abValue[kCacheBytes];
    EncodeSize(nSize, abValue);
    LONG lHigh = 0;
    if (SetFilePointer(hFile, 0, &lHigh, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        GetLastError() != ERROR_SUCCESS)
    {
        return false;
    }
    DWORD dwWritten = 0;
    if (!WriteFile(hFile, abValue, kCacheBytes, &dwWritten, nullptr) || dwWritten != kCacheBytes)
    {
        return false;
    }
    // The cache is 8 bytes, as a newly written one is; what a longer file held beyond them goes
    // only now that the value is whole. A tail that stays is read past, so it changes nothing.
    if (nFileBytes > kCacheBytes)
    {
        SetEndOfFile(hFile);
    }
    return true;
}

static uint64_t FileTimeValue(const FILETIME& ft)
{
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

int ReadCacheLifeMinutes()
{
    int nLife = getINIint("INI_SERVER_SECTION", "Quarantine_Folder_Cache_Life",
                          kDefaultCacheLifeMinutes, nullptr);
    return nLife > 0 ? nLife : kDefaultCacheLifeMinutes;
}

void JudgeOpenFileAge(HANDLE hFile, const FILETIME& ftNow, int nLifeMinutes, SStoreAge* pAge)
{
    pAge->dwError = ERROR_SUCCESS;
    pAge->nElapsedSeconds = 0;
    pAge->bOutOfDate = true;
    FILETIME ftLastWrite = {0, 0};
    if (!GetFileTime(hFile, nullptr, nullptr, &ftLastWrite))
    {
        pAge->eResult = SStoreAge::kTimeFailed;
        pAge->dwError = GetLastError();
        return;
    }
    pAge->eResult = SStoreAge::kMeasured;
    // A last write in the future wraps to a huge unsigned age: out of date.
    pAge->nElapsedSeconds = (FileTimeValue(ftNow) - FileTimeValue(ftLastWrite)) / kTicksPerSecond;
    // In 64 bits: lives above 35,791,394 minutes would overflow a 32-bit product and turn the
    // limit negative or small, making a fresh cache look stale.
    uint64_t nLimit = static_cast<uint64_t>(nLifeMinutes) * 60u;
    pAge->bOutOfDate = pAge->nElapsedSeconds > nLimit;
}

void JudgeFileAge(const char* szPath, int nLifeMinutes, SStoreAge* pAge)
{
    // "Now" comes first, so the time spent opening the file does not count toward its age.
    FILETIME ftNow = {0, 0};
    osGetSystemTimeAsFileTime(&ftNow);

    bool bWaited = false;
    HANDLE hFile = OpenStore(szPath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, &bWaited);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        pAge->eResult = SStoreAge::kOpenFailed;
        pAge->dwError = GetLastError();
        pAge->nElapsedSeconds = 0;
        pAge->bOutOfDate = true;
        return;
    }
    if (bWaited)
    {
        // The process we waited for has just rewritten the file, after "now" was taken: its age
        // counts from the end of the wait, or that fresh write would look like one from the future.
        osGetSystemTimeAsFileTime(&ftNow);
    }
    JudgeOpenFileAge(hFile, ftNow, nLifeMinutes, pAge);
    CloseHandle(hFile);
}

void TraceStoreAge(const char* szPath, const SStoreAge& age)
{
    if (age.eResult == SStoreAge::kOpenFailed)
    {
        LogTrace(kLevelWarning, VENDREL_TRACE_SOURCE, kLineAgeOpenFailed,
                 "IsFileOutOfDate - CreateFile(%s) failed with win32 error (%d)", szPath,
                 static_cast<int>(age.dwError));
        return;
    }
    if (age.eResult == SStoreAge::kTimeFailed)
    {
        LogTrace(kLevelError, VENDREL_TRACE_SOURCE, kLineAgeTimeFailed,
                 "IsFileOutOfDate - GetFileTime(%s) failed with win32 error (%d)", szPath,
                 static_cast<int>(age.dwError));
        return;
    }
    int32_t nElapsed32 = static_cast<int32_t>(static_cast<uint32_t>(age.nElapsedSeconds));
    LogTrace(kLevelDebug, VENDREL_TRACE_SOURCE, kLineAge,
             "IsFileOutOfDate - File was updated (%d) minute (%d) second ago", nElapsed32 / 60,
             nElapsed32 % 60);
}

int64_t ScanFolder(const char* szPattern)
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

int64_t AddFolderSizes(int64_t nFolderSize, int64_t nUpload)
{
    // A cached total near the top of the range must not wrap to a negative sum that would pass
    // the capacity check, nor a negative upload wrap a total to the top.
    if (nUpload > 0 && nFolderSize > INT64_MAX - nUpload)
    {
        return INT64_MAX;
    }
    if (nUpload < 0 && nFolderSize < INT64_MIN - nUpload)
    {
        return INT64_MIN;
    }
    return nFolderSize + nUpload;
}
