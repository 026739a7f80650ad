// The capacity check before an upload is admitted, and the cached total after it is.
#include "quarantine.h"

#include "kelsio.h"
#include "platform.h"
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

// Folder size plus the sign-extended upload size. A cached total near the top of the 64-bit
// range must not wrap to a negative sum that would pass the capacity check, so the sum stops
// at the largest value instead.
static int64_t AddUploadSize(int64_t nFolderSize, int32_t nFileSize)
{
    int64_t nUpload = static_cast<int64_t>(nFileSize);
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

bool updateFolderSize(int32_t nFileSize)
{
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineUploadSize,
             "[Vendrel:updateFolderSize] nFileSize=%d", nFileSize);
    char szFolder[MAX_PATH];
    getQuarantineFolder(szFolder, MAX_PATH);
    int64_t nFolderSize = getFolderSize(szFolder);
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineFolderSize,
             "[Vendrel:updateFolderSize] FolderSize=%" PRId64, nFolderSize);
    int64_t nNewSize = AddUploadSize(nFolderSize, nFileSize);
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineNewFolderSize,
             "[Vendrel:updateFolderSize] New FolderSize=%" PRId64, nNewSize);
    return writeFolderSize(szFolder, nNewSize);
}

bool VerifyVirusFolderSize(int32_t nFileSize)
{
    char szFolder[MAX_PATH];
    getQuarantineFolder(szFolder, MAX_PATH);
    int64_t nFolderSize = getFolderSize(szFolder);
    int nCapacityMB = getINIint("INI_SERVER_SECTION", "Quarantine_Folder_Capacity", 10240, nullptr);
    // Zero and negative capacities are used as configured.
    int64_t nCapacity = static_cast<int64_t>(nCapacityMB) * 1048576;
    if (AddUploadSize(nFolderSize, nFileSize) <= nCapacity)
    {
        return true;
    }
    // The folder size is never negative, so it prints whole as an unsigned 64-bit number.
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineOverCapacity,
             "[Vendrel:VerifyVirusFolderSize] Quarantine folder size is exceed %" PRIu64,
             static_cast<uint64_t>(nFolderSize));
    return false;
}
