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

namespace
{

struct CPathParts
{
    char szDrive[_MAX_DRIVE] = {0};
    char szDir[_MAX_DIR] = {0};
    char szName[_MAX_FNAME] = {0};
    char szExt[_MAX_EXT] = {0};
};

// A part over its limit leaves all four parts empty: the empty directory then fails the location
// check, and the empty name the file check, which are the answers wanted for such a name.
void SplitPath(const char* szPath, CPathParts* pParts)
{
    _splitpath_s(szPath, pParts->szDrive, sizeof(pParts->szDrive), pParts->szDir,
                 sizeof(pParts->szDir), pParts->szName, sizeof(pParts->szName), pParts->szExt,
                 sizeof(pParts->szExt));
}

} // namespace

bool IsInUploadDirectory(const char* szTempFileName, char* szRecombinedDir, char* szUploadDir)
{
    CPathParts parts;
    SplitPath(szTempFileName, &parts);
    _snprintf(szRecombinedDir, MAX_PATH - 1, "%s%s", parts.szDrive, parts.szDir);
    szRecombinedDir[MAX_PATH - 1] = '\0';

    char szHomeDir[MAX_PATH] = {0};
    getHomeDir(szHomeDir, sizeof(szHomeDir));
    szHomeDir[MAX_PATH - 1] = '\0';
    _snprintf(szUploadDir, MAX_PATH - 1, "%s" VENDREL_DIR_SEP_STR "TEMP" VENDREL_DIR_SEP_STR,
              szHomeDir);
    szUploadDir[MAX_PATH - 1] = '\0';

    return _mbsicmp(reinterpret_cast<const unsigned char*>(szRecombinedDir),
                    reinterpret_cast<const unsigned char*>(szUploadDir)) == 0;
}

bool IsRegularUploadFile(const char* szTempFileName)
{
    CPathParts parts;
    SplitPath(szTempFileName, &parts);
    if (parts.szName[0] == '\0' && parts.szExt[0] == '\0')
        return false;

    const DWORD dwRefused =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    DWORD dwAttributes = GetFileAttributesA(szTempFileName);
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & dwRefused) == 0;
}
