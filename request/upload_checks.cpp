#include "upload_checks.h"

#include "kelsio.h"
#include "platform.h"

#include <cstring>

bool IsComputerNameAcceptable(const char* szComputerName)
{
    return strchr(szComputerName, '\\') == nullptr && strchr(szComputerName, '/') == nullptr &&
           strchr(szComputerName, '%') == nullptr;
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

bool IsRegularUploadFile(const char* szTempFileName, int64_t* pnFileSize)
{
    *pnFileSize = 0;
    CPathParts parts;
    SplitPath(szTempFileName, &parts);
    if (parts.szName[0] == '\0' && parts.szExt[0] == '\0')
        return false;
    if (strchr(parts.szName, ':') != nullptr || strchr(parts.szExt, ':') != nullptr)
        return false;

    // No access asked for: only what the name is, never its content. Sharing everything keeps
    // the upload's writer and its cleanup undisturbed.
    HANDLE hFile = CreateFileA(
        szTempFileName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    const DWORD dwRefused =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    BY_HANDLE_FILE_INFORMATION info;
    bool bTaken = GetFileType(hFile) == FILE_TYPE_DISK &&
                  GetFileInformationByHandle(hFile, &info) &&
                  (info.dwFileAttributes & dwRefused) == 0;
    CloseHandle(hFile);
    if (bTaken)
        *pnFileSize = static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) |
                                           info.nFileSizeLow);
    return bTaken;
}
