// The thread's last error and the errno to Win32 code mapping.
#include "pal_internal.h"

#include <cerrno>

static thread_local DWORD t_dwLastError = ERROR_SUCCESS;

DWORD GetLastError()
{
    return t_dwLastError;
}

void SetLastError(DWORD dwErrCode)
{
    t_dwLastError = dwErrCode;
}

DWORD PalWin32ErrorFromErrno(int nErrno)
{
    switch (nErrno)
    {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
    case ECONNREFUSED:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOBUFS:
    case EAGAIN:
        return ERROR_NO_SYSTEM_RESOURCES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case EXDEV:
        return ERROR_NOT_SAME_DEVICE;
    case EPIPE:
        return ERROR_NO_DATA;
    case ECONNRESET:
        return ERROR_BROKEN_PIPE;
    case ENOTCONN:
        return ERROR_PIPE_NOT_CONNECTED;
    case EBUSY:
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case ELOOP:
        return ERROR_CANT_RESOLVE_FILENAME;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case EIO:
        return ERROR_IO_DEVICE;
    case ENOSYS:
    case EOPNOTSUPP:
        return ERROR_NOT_SUPPORTED;
    case ETIMEDOUT:
        return ERROR_SEM_TIMEOUT;
    case ESTALE:
        return ERROR_UNEXP_NET_ERR;
    default:
        return ERROR_GEN_FAILURE;
    }
}

void PalSetErrorFromErrno(int nErrno)
{
    SetLastError(PalWin32ErrorFromErrno(nErrno));
}

// Windows tells a missing file (2) from a missing directory on the way to it (3).
DWORD PalErrorForPath(int nErrno, const char* szPath)
{
    if (nErrno != ENOENT)
    {
        return PalWin32ErrorFromErrno(nErrno);
    }
    if (szPath == nullptr || szPath[0] == '\0')
    {
        return ERROR_PATH_NOT_FOUND;
    }
    char szParent[4096];
    size_t nLen = strlen(szPath);
    if (nLen >= sizeof(szParent))
    {
        return ERROR_PATH_NOT_FOUND;
    }
    memcpy(szParent, szPath, nLen + 1);
    // A trailing separator names a directory; its parent is what must exist.
    while (nLen > 1 && szParent[nLen - 1] == '/')
    {
        szParent[--nLen] = '\0';
    }
    char* pSlash = strrchr(szParent, '/');
    if (pSlash == nullptr)
    {
        return ERROR_FILE_NOT_FOUND;
    }
    if (pSlash == szParent)
    {
        pSlash[1] = '\0';
    }
    else
    {
        pSlash[0] = '\0';
    }
    struct stat st;
    if (stat(szParent, &st) == 0 && S_ISDIR(st.st_mode))
    {
        return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_PATH_NOT_FOUND;
}

void PalSetErrorForPath(int nErrno, const char* szPath)
{
    SetLastError(PalErrorForPath(nErrno, szPath));
}
