#include "upload_checks.h"

#include "kelsio.h"
#include "platform.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

bool IsComputerNameAcceptable(const char* szComputerName)
{
    return strchr(szComputerName, '\\') == nullptr && strchr(szComputerName, '/') == nullptr &&
           strchr(szComputerName, '%') == nullptr;
}

int32_t ReadUploadSize(const char* szNewFileSize)
{
    // long is 64 bits on POSIX and 32 on Windows: clamp so both builds read the same number.
    long nValue = strtol(szNewFileSize, nullptr, 10);
    if (nValue > INT32_MAX)
        return INT32_MAX;
    if (nValue < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(nValue);
}

bool IsInUploadDirectory(const char* szTempFileName, char* szRecombinedDir, char* szUploadDir)
{
    char szDrive[_MAX_DRIVE] = {0};
    char szDir[_MAX_DIR] = {0};
    char szName[_MAX_FNAME] = {0};
    char szExt[_MAX_EXT] = {0};
    // A part over its limit leaves all four parts empty; the empty directory then fails the
    // comparison below, which is the answer wanted for such a name.
    _splitpath_s(szTempFileName, szDrive, sizeof(szDrive), szDir, sizeof(szDir), szName,
                 sizeof(szName), szExt, sizeof(szExt));
    _snprintf(szRecombinedDir, UPLOAD_DIR_BUFFER - 1, "%s%s", szDrive, szDir);
    szRecombinedDir[UPLOAD_DIR_BUFFER - 1] = '\0';

    char szHomeDir[UPLOAD_DIR_BUFFER] = {0};
    getHomeDir(szHomeDir, sizeof(szHomeDir));
    szHomeDir[UPLOAD_DIR_BUFFER - 1] = '\0';
    _snprintf(szUploadDir, UPLOAD_DIR_BUFFER - 1,
              "%s" VENDREL_DIR_SEP_STR "TEMP" VENDREL_DIR_SEP_STR, szHomeDir);
    szUploadDir[UPLOAD_DIR_BUFFER - 1] = '\0';

    return _mbsicmp(reinterpret_cast<const unsigned char*>(szRecombinedDir),
                    reinterpret_cast<const unsigned char*>(szUploadDir)) == 0;
}

bool IsRegularUploadFile(const char* szTempFileName)
{
    char szDrive[_MAX_DRIVE] = {0};
    char szDir[_MAX_DIR] = {0};
    char szName[_MAX_FNAME] = {0};
    char szExt[_MAX_EXT] = {0};
    _splitpath_s(szTempFileName, szDrive, sizeof(szDrive), szDir, sizeof(szDir), szName,
                 sizeof(szName), szExt, sizeof(szExt));
    if (szName[0] == '\0' && szExt[0] == '\0')
        return false;

    const DWORD dwRefused =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    DWORD dwAttributes = GetFileAttributesA(szTempFileName);
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & dwRefused) == 0;
}
