// MoveFileA: moving or renaming without ever replacing the target.
#include "pal_internal.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

int PalRenameNoReplace(const char* szFrom, const char* szTo)
{
#ifdef SYS_renameat2
    return static_cast<int>(
        syscall(SYS_renameat2, AT_FDCWD, szFrom, AT_FDCWD, szTo, RENAME_NOREPLACE));
#else
    errno = ENOSYS;
    return -1;
#endif
}

// link + unlink for file systems without RENAME_NOREPLACE: link() fails on an existing target.
static int LinkThenUnlink(const char* szFrom, const char* szTo)
{
    if (link(szFrom, szTo) != 0)
    {
        return -1;
    }
    if (unlink(szFrom) != 0)
    {
        int nErrno = errno;
        unlink(szTo);
        errno = nErrno;
        return -1;
    }
    return 0;
}

static bool CopyBytes(int nFrom, int nTo)
{
    char buf[65536];
    for (;;)
    {
        ssize_t nGot = read(nFrom, buf, sizeof(buf));
        if (nGot < 0 && errno == EINTR)
        {
            continue;
        }
        if (nGot < 0)
        {
            return false;
        }
        if (nGot == 0)
        {
            return true;
        }
        if (!PalWriteAll(nTo, buf, static_cast<size_t>(nGot), nullptr))
        {
            return false;
        }
    }
}

// Across file systems: an exclusive-create copy (so an existing target is never touched), the
// source's times and mode kept, and only then the source deleted.
static int CopyThenDelete(const char* szFrom, const char* szTo)
{
    int nFrom = open(szFrom, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (nFrom < 0)
    {
        return -1;
    }
    struct stat st;
    if (fstat(nFrom, &st) != 0)
    {
        int nErrno = errno;
        close(nFrom);
        errno = nErrno;
        return -1;
    }
    if (!S_ISREG(st.st_mode))
    {
        close(nFrom);
        errno = EXDEV;
        return -1;
    }
    int nTo = open(szTo, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, st.st_mode & 0777);
    if (nTo < 0)
    {
        int nErrno = errno;
        close(nFrom);
        errno = nErrno;
        return -1;
    }
    bool bOk = CopyBytes(nFrom, nTo);
    int nErrno = errno;
    if (bOk)
    {
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        futimens(nTo, times);
        bOk = fsync(nTo) == 0;
        nErrno = errno;
    }
    if (close(nTo) != 0 && bOk)
    {
        bOk = false;
        nErrno = errno;
    }
    close(nFrom);
    if (!bOk)
    {
        unlink(szTo);
        errno = nErrno;
        return -1;
    }
    if (unlink(szFrom) != 0)
    {
        nErrno = errno;
        unlink(szTo);
        errno = nErrno;
        return -1;
    }
    return 0;
}

static int MoveNoReplace(const char* szFrom, const char* szTo)
{
    if (PalRenameNoReplace(szFrom, szTo) == 0)
    {
        return 0;
    }
    if (errno == EINVAL || errno == ENOSYS)
    {
        struct stat st;
        if (lstat(szFrom, &st) == 0 && S_ISDIR(st.st_mode))
        {
            // Directories cannot be linked; a check before rename is the best left.
            if (lstat(szTo, &st) == 0)
            {
                errno = EEXIST;
                return -1;
            }
            return rename(szFrom, szTo);
        }
        if (LinkThenUnlink(szFrom, szTo) == 0)
        {
            return 0;
        }
        if (errno != EXDEV)
        {
            return -1;
        }
    }
    if (errno == EXDEV)
    {
        return CopyThenDelete(szFrom, szTo);
    }
    return -1;
}

static bool IsSamePath(const char* szFrom, const char* szTo)
{
    char szFromFull[4096];
    char szToFull[4096];
    return _fullpath(szFromFull, szFrom, sizeof(szFromFull)) != nullptr &&
           _fullpath(szToFull, szTo, sizeof(szToFull)) != nullptr &&
           strcmp(szFromFull, szToFull) == 0;
}

BOOL MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName)
{
    if (lpExistingFileName == nullptr || lpNewFileName == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (PalIsFileInUse(lpExistingFileName))
    {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (MoveNoReplace(lpExistingFileName, lpNewFileName) == 0)
    {
        return TRUE;
    }
    int nErrno = errno;
    struct stat st;
    if (nErrno == EEXIST && IsSamePath(lpExistingFileName, lpNewFileName))
    {
        // Moving a file onto its own name succeeds on Windows and changes nothing.
        return TRUE;
    }
    if (nErrno == ENOENT && lstat(lpExistingFileName, &st) == 0)
    {
        // The source is there, so the target's directory is what is missing.
        SetLastError(ERROR_PATH_NOT_FOUND);
    }
    else if (nErrno == EXDEV)
    {
        SetLastError(ERROR_NOT_SAME_DEVICE);
    }
    else
    {
        PalSetErrorForPath(nErrno, lpExistingFileName);
    }
    return FALSE;
}
