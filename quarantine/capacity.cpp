// The capacity check before an upload is admitted, and the cached total after it is.
#include "quarantine.h"

#include "kelsio.h"
#include "platform.h"
#include "store_file.h"
#include "system_calls.h"
#include "trace.h"

#include <cinttypes>
#include <cstdint>

// The source lines that the capacity traces carry; log readers know them by these.
enum
{
    kLineOverCapacity = 351,
    kLineUploadSize = 577,
    kLineFolderSize = 583,
    kLineNewFolderSize = 587,
};

static const int kDefaultCapacityMegabytes = 10240;
static const int64_t kBytesPerMegabyte = 1048576;

// The folder's total and the new one, as the update shows them.
static void TraceTotals(int64_t nFolderSize, int64_t nNewSize)
{
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineFolderSize,
             "[Vendrel:updateFolderSize] FolderSize=%" PRId64, nFolderSize);
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineNewFolderSize,
             "[Vendrel:updateFolderSize] New FolderSize=%" PRId64, nNewSize);
}

static void TraceWriteFailed(const char* szStorePath)
{
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineStoreWriteFailed,
             "[Vendrel:writeFolderSize] write Folder Size into file \"%s\" failed", szStorePath);
}

// The update under one exclusive hold of ".store": the total is read (or, when stale, listed
// and written) and the new one written in place before any other process may read or write the
// file, so parallel uploads queue on it and every one of them is counted. In the common case the
// hold spans no trace record and no settings read: what the update found is traced, in the
// usual order, once the file is let go, so the processes queued behind it wait microseconds.
static bool UpdateHeldStore(HANDLE hStore, uint64_t nStoreBytes, const char* szStorePath,
                            const char* szPattern, int nLifeMinutes, int64_t nFileSize)
{
    // Taken once the hold is ours: a writer that we waited for has rewritten the file by now.
    FILETIME ftNow = {0, 0};
    osGetSystemTimeAsFileTime(&ftNow);
    SStoreAge age;
    JudgeOpenFileAge(hStore, ftNow, nLifeMinutes, &age);
    if (!age.bOutOfDate)
    {
        int64_t nFolderSize = ReadCachedSize(hStore);
        int64_t nNewSize = AddFolderSizes(nFolderSize, nFileSize);
        bool bWritten = WriteHeldSize(hStore, nStoreBytes, nNewSize);
        CloseHandle(hStore);
        TraceStoreAge(szStorePath, age);
        TraceTotals(nFolderSize, nNewSize);
        if (!bWritten)
        {
            TraceWriteFailed(szStorePath);
        }
        return bWritten;
    }

    // Stale, once a cache life without uploads: the listing and both writes under the hold.
    TraceStoreAge(szStorePath, age);
    LogTrace(kLevelInfo, VENDREL_TRACE_SOURCE, kLineStoreOutOfDate,
             "getFolderSize - .store is out of date, need to recalculate");
    int64_t nFolderSize = ScanFolder(szPattern);
    if (!WriteHeldSize(hStore, nStoreBytes, nFolderSize))
    {
        TraceWriteFailed(szStorePath);
    }
    int64_t nNewSize = AddFolderSizes(nFolderSize, nFileSize);
    TraceTotals(nFolderSize, nNewSize);
    bool bWritten = WriteHeldSize(hStore, nStoreBytes, nNewSize);
    CloseHandle(hStore);
    if (!bWritten)
    {
        TraceWriteFailed(szStorePath);
    }
    return bWritten;
}

bool updateFolderSize(int64_t nFileSize)
{
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineUploadSize,
             "[Vendrel:updateFolderSize] nFileSize=%" PRId64, nFileSize);
    char szFolder[MAX_PATH];
    getQuarantineFolder(szFolder, MAX_PATH);
    char szStorePath[MAX_PATH];
    char szPattern[MAX_PATH];
    FormatFolderPath(szStorePath, szFolder, ".store");
    FormatFolderPath(szPattern, szFolder, "*");

    // Read before the hold is taken, so that no other process waits for the settings.
    int nLife = ReadCacheLifeMinutes();
    uint64_t nStoreBytes = 0;
    HANDLE hStore = HoldStore(szStorePath, &nStoreBytes);
    if (hStore != INVALID_HANDLE_VALUE)
    {
        return UpdateHeldStore(hStore, nStoreBytes, szStorePath, szPattern, nLife, nFileSize);
    }

    // No cache to hold: it is missing, is no file, or others held it for the whole wait (a
    // sharing violation, which the trace shows). The folder is listed and the cache created as
    // a reader finding no cache does, then the new total is written over it.
    DWORD dwError = GetLastError();
    LogTrace(kLevelWarning, VENDREL_TRACE_SOURCE, kLineStoreOpenFailed,
             "getFolderSize - CreateFile(%s) failed with win32 error (%d)", szStorePath,
             static_cast<int>(dwError));
    int64_t nFolderSize = ScanFolder(szPattern);
    writeFolderSize(szFolder, nFolderSize);
    int64_t nNewSize = AddFolderSizes(nFolderSize, nFileSize);
    TraceTotals(nFolderSize, nNewSize);
    return writeFolderSize(szFolder, nNewSize);
}

bool VerifyVirusFolderSize(int64_t nFileSize)
{
    char szFolder[MAX_PATH];
    getQuarantineFolder(szFolder, MAX_PATH);
    int64_t nFolderSize = getFolderSize(szFolder);
    int nCapacityMB = getINIint("INI_SERVER_SECTION", "Quarantine_Folder_Capacity",
                                kDefaultCapacityMegabytes, nullptr);
    // Zero and negative capacities are used as configured.
    int64_t nCapacity = static_cast<int64_t>(nCapacityMB) * kBytesPerMegabyte;
    if (AddFolderSizes(nFolderSize, nFileSize) <= nCapacity)
    {
        return true;
    }
    // The folder size is never negative, so it prints whole as an unsigned 64-bit number.
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineOverCapacity,
             "[Vendrel:VerifyVirusFolderSize] Quarantine folder size is exceed %" PRIu64,
             static_cast<uint64_t>(nFolderSize));
    return false;
}
