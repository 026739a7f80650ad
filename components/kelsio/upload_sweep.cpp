// Upload files that a killed process left behind: any file of the library's own name form in the
// upload directory that nobody has written to for a while and that no open handle holds is
// deleted. Nothing else there is touched: other names, directories, links, the files this
// process still holds, and those of a writer in another process that stalled.
#include "kelsio_request.h"

#include "upload_cleanup.h"
#include "upload_files.h"
#include "upload_registry.h"

#include <cstring>
#include <string>

namespace
{

// FILETIME counts 100 ns units.
const unsigned long long FILETIME_TICKS_PER_MINUTE = 60ull * 10000000ull;

unsigned long long Ticks(const FILETIME& ft)
{
    return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

bool IsStale(const WIN32_FIND_DATAA& data, unsigned long long nNow, unsigned long long nAge)
{
    unsigned long long nWritten = Ticks(data.ftLastWriteTime);
    // A time in the future is no evidence of an abandoned file.
    return nWritten <= nNow && nNow - nWritten > nAge;
}

bool SweepEntry(const std::string& strDir, const WIN32_FIND_DATAA& data, unsigned long long nNow,
                unsigned long long nAge)
{
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !KelsioIsUploadName(data.cFileName) || !IsStale(data, nNow, nAge))
        return false;
    std::string strPath = strDir + data.cFileName;
    if (strPath.size() >= MAX_PATH || KelsioUploadIsOurs(strPath.c_str()))
        return false;
    // A file that an open handle holds is a writer still at work, however long it stalled.
    return KelsioUploadDeleteUnheld(strPath.c_str());
}

} // namespace

int KelsioSweepStaleUploads(const char* szHomeDir, int nStaleMinutes)
{
    if (szHomeDir == nullptr || nStaleMinutes <= 0)
        return 0;
    std::string strDir = KelsioUploadDirectory(szHomeDir);
    std::string strPattern = strDir + KELSIO_UPLOAD_PREFIX "*";
    if (strPattern.size() >= MAX_PATH)
        return 0;
    FILETIME ftNow;
    GetSystemTimeAsFileTime(&ftNow);
    unsigned long long nAge =
        static_cast<unsigned long long>(nStaleMinutes) * FILETIME_TICKS_PER_MINUTE;

    WIN32_FIND_DATAA data;
    HANDLE hFind = FindFirstFileA(strPattern.c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE)
        return 0;
    int nDeleted = 0;
    do
    {
        if (SweepEntry(strDir, data, Ticks(ftNow), nAge))
            ++nDeleted;
    } while (FindNextFileA(hFind, &data));
    FindClose(hFind);
    return nDeleted;
}
