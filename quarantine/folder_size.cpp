// The size cache file ".store": an 8-byte little-endian signed total of the folder, trusted for
// the cache life after its last write. Reading it, judging its age, and rewriting it after a
// flat scan of the folder.
#include "quarantine.h"

#include "platform.h"
#include "store_file.h"
#include "system_calls.h"
#include "trace.h"

static const DWORD kCacheBytes = 8;

int64_t getFolderSize(const char* szFolder)
{
    char szStorePath[MAX_PATH];
    char szPattern[MAX_PATH];
    FormatFolderPath(szStorePath, szFolder, ".store");
    FormatFolderPath(szPattern, szFolder, "*");

    // Read before the file is opened: a writer never waits for the settings.
    int nLife = ReadCacheLifeMinutes();
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
        // Still open while its age is judged: no writer can replace it in between, so the value
        // read below is the one whose age passed, never an older one judged by a newer time. The
        // age is traced once the file is let go, so that no writer waits for the trace.
        SStoreAge age;
        JudgeFileAge(szStorePath, nLife, &age);
        int64_t nSize = age.bOutOfDate ? 0 : ReadCachedSize(hFile);
        CloseHandle(hFile);
        TraceStoreAge(szStorePath, age);
        if (!age.bOutOfDate)
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
    SStoreAge age;
    JudgeFileAge(szPath, ReadCacheLifeMinutes(), &age);
    TraceStoreAge(szPath, age);
    return age.bOutOfDate;
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
    BYTE abValue[kCacheBytes];
    EncodeSize(nFolderSize, abValue);
    // A failed or short write is not acted on: within the cache life it reads back as 0.
    DWORD dwWritten = 0;
    WriteFile(hFile, abValue, kCacheBytes, &dwWritten, nullptr);
    CloseHandle(hFile);
    return true;
}
