// The capacity check before an upload is admitted, and the cached total after it is.
#include "quarantine.h"

#include "kelsio.h"
#include "platform.h"
#include "trace.h"

#include <cinttypes>
#include <cstdint>

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
    LogTrace(4, VENDREL_TRACE_SOURCE, 577, "[Vendrel:updateFolderSize] nFileSize=%d", nFileSize);
    char szFolder[260];
    getQuarantineFolder(szFolder, 260);
    int64_t nFolderSize = getFolderSize(szFolder);
    LogTrace(4, VENDREL_TRACE_SOURCE, 583, "[Vendrel:updateFolderSize] FolderSize=%" PRId64,
             nFolderSize);
    int64_t nNewSize = AddUploadSize(nFolderSize, nFileSize);
    LogTrace(4, VENDREL_TRACE_SOURCE, 587, "[Vendrel:updateFolderSize] New FolderSize=%" PRId64,
             nNewSize);
    return writeFolderSize(szFolder, nNewSize);
}

bool VerifyVirusFolderSize(int32_t nFileSize)
{
    char szFolder[260];
    getQuarantineFolder(szFolder, 260);
    int64_t nFolderSize = getFolderSize(szFolder);
    int nCapacityMB = getINIint("INI_SERVER_SECTION", "Quarantine_Folder_Capacity", 10240, nullptr);
    // Zero and negative capacities are used as configured.
    int64_t nCapacity = static_cast<int64_t>(nCapacityMB) * 1048576;
    if (AddUploadSize(nFolderSize, nFileSize) <= nCapacity)
    {
        return true;
    }
    // The folder size is never negative, so it prints whole as an unsigned 64-bit number.
    LogTrace(4, VENDREL_TRACE_SOURCE, 351,
             "[Vendrel:VerifyVirusFolderSize] Quarantine folder size is exceed %" PRIu64,
             static_cast<uint64_t>(nFolderSize));
    return false;
}
