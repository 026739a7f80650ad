// Durability: FlushFileBuffers, and the fsync of a directory that makes a new name in it survive
// a power cut. Every fsync goes through the system-call table, so that tests see their order.
#include "pal_internal.h"
#include "system_calls.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

BOOL FlushFileBuffers(HANDLE hFile)
{
    SPalHandle* pHandle = PalHandleOf(hFile, 0);
    if (pHandle == nullptr || pHandle->m_nKind == PAL_HANDLE_FIND)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (pHandle->m_nKind == PAL_HANDLE_PIPE)
    {
        // Every write went out whole to the socket; nothing waits in this process.
        return TRUE;
    }
    int nRet;
    do
    {
        nRet = osFsync(pHandle->m_nFd);
    } while (nRet != 0 && errno == EINTR);
    if (nRet != 0)
    {
        PalSetErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

// The directory part of szPath ("." for a bare name, "/" for a name at the root).
static bool DirectoryOf(const char* szPath, char* szDir, size_t nDir)
{
    const char* pSlash = strrchr(szPath, '/');
    if (pSlash == nullptr)
    {
        memcpy(szDir, ".", 2);
        return true;
    }
    size_t nLen = pSlash == szPath ? 1 : static_cast<size_t>(pSlash - szPath);
    if (nLen >= nDir)
    {
        return false;
    }
    memcpy(szDir, szPath, nLen);
    szDir[nLen] = '\0';
    return true;
}

int PalSyncDirectoryOf(const char* szPath)
{
    char szDir[PATH_MAX];
    if (!DirectoryOf(szPath, szDir, sizeof(szDir)))
    {
        return ENAMETOOLONG;
    }
    int nFd = open(szDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (nFd < 0)
    {
        return errno;
    }
    int nRet;
    do
    {
        nRet = osFsync(nFd);
    } while (nRet != 0 && errno == EINTR);
    int nErrno = nRet == 0 ? 0 : errno;
    close(nFd);
    if (nErrno == EINVAL || nErrno == EOPNOTSUPP || nErrno == ENOTSUP || nErrno == ENOSYS)
    {
        // Some network and user-space file systems cannot sync a directory: they order names
        // by their own rules, and the file's own data was synced before.
        return 0;
    }
    return nErrno;
}
