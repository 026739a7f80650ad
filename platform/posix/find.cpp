// Directory listings: FindFirstFileA, FindNextFileA, FindClose.
#include "pal_internal.h"

#include <cerrno>
#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

// Splits "<dir>/<pattern>" (or a bare pattern, meaning the current directory).
static bool SplitPattern(const char* szPattern, char* szDir, size_t nDir, char* szName,
                         size_t nName)
{
    const char* pSlash = strrchr(szPattern, '/');
    const char* pName = pSlash == nullptr ? szPattern : pSlash + 1;
    size_t nDirLen = pSlash == nullptr ? 0 : static_cast<size_t>(pSlash - szPattern);
    if (pSlash == szPattern)
    {
        nDirLen = 1;
    }
    if (nDirLen + 2 > nDir || strlen(pName) + 1 > nName || pName[0] == '\0')
    {
        return false;
    }
    if (nDirLen == 0)
    {
        memcpy(szDir, ".", 2);
    }
    else
    {
        memcpy(szDir, szPattern, nDirLen);
        szDir[nDirLen] = '\0';
    }
    // "*.*" matches every name on Windows, also names without a dot.
    if (strcmp(pName, "*.*") == 0)
    {
        pName = "*";
    }
    memcpy(szName, pName, strlen(pName) + 1);
    return true;
}

static void FillFindData(int nDirFd, const char* szName, LPWIN32_FIND_DATAA pData)
{
    memset(pData, 0, sizeof(*pData));
    size_t nLen = strlen(szName);
    if (nLen >= sizeof(pData->cFileName))
    {
        nLen = sizeof(pData->cFileName) - 1;
    }
    memcpy(pData->cFileName, szName, nLen);
    struct stat st;
    // Never following links nor opening entries: a listing reads only the directory.
    if (fstatat(nDirFd, szName, &st, AT_SYMLINK_NOFOLLOW) != 0)
    {
        // The entry went away between readdir and fstatat: list it empty.
        pData->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
        return;
    }
    pData->dwFileAttributes = PalAttributesFromStat(st, szName);
    pData->ftCreationTime = PalFileTimeFromTimespec(st.st_ctim);
    pData->ftLastAccessTime = PalFileTimeFromTimespec(st.st_atim);
    pData->ftLastWriteTime = PalFileTimeFromTimespec(st.st_mtim);
    if (!S_ISDIR(st.st_mode))
    {
        uint64_t nSize = static_cast<uint64_t>(st.st_size);
        pData->nFileSizeHigh = static_cast<DWORD>(nSize >> 32);
        pData->nFileSizeLow = static_cast<DWORD>(nSize & 0xffffffffu);
    }
}

// The next entry that matches the handle's pattern; false at the end of the directory.
static bool NextMatch(SPalHandle* pHandle, LPWIN32_FIND_DATAA pData, int* pnErrno)
{
    for (;;)
    {
        errno = 0;
        struct dirent* pEntry = readdir(pHandle->m_pDir);
        if (pEntry == nullptr)
        {
            *pnErrno = errno;
            return false;
        }
        if (strlen(pEntry->d_name) >= MAX_PATH)
        {
            // Not representable in cFileName; Windows has no such names either.
            continue;
        }
        if (IsReplacementTemporaryName(pEntry->d_name))
        {
            // A file this layer is creating or replacing has no name yet on Windows: a folder's
            // listing and the sizes summed from it stay what they are there.
            continue;
        }
        if (strcmp(pHandle->m_szPattern, "*") == 0 ||
            fnmatch(pHandle->m_szPattern, pEntry->d_name, 0) == 0)
        {
            FillFindData(dirfd(pHandle->m_pDir), pEntry->d_name, pData);
            return true;
        }
    }
}

HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData)
{
    if (lpFileName == nullptr || lpFindFileData == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    char szDir[4096];
    char szName[MAX_PATH];
    if (!SplitPattern(lpFileName, szDir, sizeof(szDir), szName, sizeof(szName)))
    {
        SetLastError(lpFileName[0] == '\0' ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int nFd = open(szDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (nFd < 0)
    {
        // Whether the directory or a directory above it is missing, Windows says "path"; a
        // file where the directory should be makes the pattern an invalid name.
        int nErrno = errno;
        struct stat st;
        if (nErrno == ENOTDIR && stat(szDir, &st) == 0 && !S_ISDIR(st.st_mode))
        {
            SetLastError(ERROR_INVALID_NAME);
        }
        else
        {
            SetLastError(nErrno == ENOENT ? ERROR_PATH_NOT_FOUND : PalWin32ErrorFromErrno(nErrno));
        }
        return INVALID_HANDLE_VALUE;
    }
    DIR* pDir = fdopendir(nFd);
    if (pDir == nullptr)
    {
        int nErrno = errno;
        close(nFd);
        PalSetErrorFromErrno(nErrno);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = PalNewHandle(PAL_HANDLE_FIND, -1, pDir);
    if (h == INVALID_HANDLE_VALUE)
    {
        closedir(pDir);
        return h;
    }
    SPalHandle* pHandle = static_cast<SPalHandle*>(h);
    memcpy(pHandle->m_szPattern, szName, strlen(szName) + 1);
    int nErrno = 0;
    if (!NextMatch(pHandle, lpFindFileData, &nErrno))
    {
        PalFreeHandle(pHandle);
        SetLastError(nErrno != 0 ? PalWin32ErrorFromErrno(nErrno) : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData)
{
    SPalHandle* pHandle = PalHandleOf(hFindFile, PAL_HANDLE_FIND);
    if (pHandle == nullptr)
    {
        return FALSE;
    }
    if (lpFindFileData == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int nErrno = 0;
    if (!NextMatch(pHandle, lpFindFileData, &nErrno))
    {
        SetLastError(nErrno != 0 ? PalWin32ErrorFromErrno(nErrno) : ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile)
{
    SPalHandle* pHandle = PalHandleOf(hFindFile, PAL_HANDLE_FIND);
    if (pHandle == nullptr)
    {
        return FALSE;
    }
    PalFreeHandle(pHandle);
    return TRUE;
}
