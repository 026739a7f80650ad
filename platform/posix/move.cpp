// MoveFileA: moving or renaming without ever replacing the target, and with the new name on the
// disk before it returns. Across file systems the file is copied under a hidden temporary name
// in the target directory, flushed, and only then given the target name, so that the target
// name never shows a partial file.
#include "copy_guard.h"
#include "system_calls.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

static const int kTempTries = 64;
static const size_t kCopyBuffer = 65536;

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

// errno values of link() that mean the file system has no hard links here.
static bool IsLinkMissing(int nErrno)
{
    return nErrno == EPERM || nErrno == EOPNOTSUPP || nErrno == ENOSYS || nErrno == EMLINK;
}

// errno values of renameat2() that mean the kernel or the file system lacks RENAME_NOREPLACE.
static bool IsNoReplaceMissing(int nErrno)
{
    return nErrno == EINVAL || nErrno == ENOSYS || nErrno == EOPNOTSUPP;
}

// link + unlink for file systems without RENAME_NOREPLACE: link() fails on an existing target.
static int LinkThenUnlink(const char* szFrom, const char* szTo)
{
    if (osLink(szFrom, szTo) != 0)
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

static bool WriteAllThroughTable(int nFd, const char* pData, size_t n)
{
    while (n > 0)
    {
        ssize_t nPut = osWrite(nFd, pData, n);
        if (nPut < 0 && errno == EINTR)
        {
            continue;
        }
        if (nPut <= 0)
        {
            if (nPut == 0)
            {
                errno = ENOSPC;
            }
            return false;
        }
        pData += nPut;
        n -= static_cast<size_t>(nPut);
    }
    return true;
}

static bool CopyBytes(int nFrom, int nTo)
{
    char buf[kCopyBuffer];
    for (;;)
    {
        ssize_t nGot = read(nFrom, buf, sizeof(buf));
        if (nGot < 0 && errno == EINTR)
        {
            continue;
        }
        if (nGot <= 0)
        {
            return nGot == 0;
        }
        if (!WriteAllThroughTable(nTo, buf, static_cast<size_t>(nGot)))
        {
            return false;
        }
    }
}

static int FsyncRetrying(int nFd)
{
    int nRet;
    do
    {
        nRet = osFsync(nFd);
    } while (nRet != 0 && errno == EINTR);
    return nRet;
}

// Creates the copy's hidden temporary file beside szTo, recorded in the guard together with its
// creation. Returns the descriptor, or -1 with errno set.
static int CreateCopyTemp(const char* szTo, mode_t nMode, CCopyGuard& guard, char* szTemp,
                          size_t nTemp)
{
    for (int nTry = 0; nTry < kTempTries; ++nTry)
    {
        if (!PalFormatTempName(szTo, szTemp, nTemp))
        {
            errno = ENAMETOOLONG;
            return -1;
        }
        CEndSignalsBlocked blocked;
        int nFd =
            open(szTemp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, nMode);
        if (nFd >= 0)
        {
            guard.SetTemp(szTemp);
            return nFd;
        }
        if (errno != EEXIST)
        {
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

// Writes the whole source into the temporary file and flushes it; false with errno set.
static bool FillCopy(int nFrom, int nTo, const struct stat& stFrom)
{
    if (!CopyBytes(nFrom, nTo))
    {
        return false;
    }
    // The source's times are kept, as a move keeps them.
    struct timespec times[2] = {stFrom.st_atim, stFrom.st_mtim};
    futimens(nTo, times);
    return FsyncRetrying(nTo) == 0;
}

// Where the file system has neither hard links nor RENAME_NOREPLACE (some network file
// systems): an empty file claims the name exclusively and szFrom is renamed over that claim.
// Run with the end signals blocked, so that no handler ends the process between the two steps;
// only SIGKILL or a power cut there can leave the claim empty. Returns 0 or an errno.
static int RenameOverClaim(const char* szFrom, const char* szTo)
{
    int nClaim = open(szTo, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (nClaim < 0)
    {
        return errno;
    }
    close(nClaim);
    if (rename(szFrom, szTo) != 0)
    {
        int nErrno = errno;
        unlink(szTo);
        return nErrno;
    }
    return 0;
}

// Gives the finished temporary file the target name without replacing anything there: a hard
// link, else renameat2(RENAME_NOREPLACE), else a rename over an exclusive claim. Returns 0 or
// the errno of the failure; the temporary name is gone either way. Runs with the end signals
// blocked.
static int PlaceCopy(const char* szTemp, const char* szTo, CCopyGuard& guard)
{
    int nErrno = 0;
    if (osLink(szTemp, szTo) == 0)
    {
        unlink(szTemp);
    }
    else if (!IsLinkMissing(nErrno = errno))
    {
        unlink(szTemp);
    }
    else if (osRenameNoReplace(szTemp, szTo) == 0)
    {
        nErrno = 0;
    }
    else if (!IsNoReplaceMissing(nErrno = errno))
    {
        unlink(szTemp);
    }
    else if ((nErrno = RenameOverClaim(szTemp, szTo)) != 0)
    {
        unlink(szTemp);
    }
    guard.SetTemp(nullptr);
    return nErrno;
}

// Across file systems: a copy under a hidden temporary name, flushed, then put under the target
// name without replacing, the name made durable, and only then the source deleted. Whatever
// fails, or a SIGTERM, SIGINT or SIGHUP meanwhile, leaves neither the temporary file nor
// anything under the target name; the source stays until the copy is in place.
static int CopyThenDelete(const char* szFrom, const char* szTo)
{
    struct stat st;
    if (lstat(szFrom, &st) == 0 && !S_ISREG(st.st_mode))
    {
        // A link, directory, FIFO, socket or device is not copied, nor opened.
        errno = EXDEV;
        return -1;
    }
    if (lstat(szTo, &st) == 0)
    {
        // Settled again when the copy is placed; this spares copying for nothing.
        errno = EEXIST;
        return -1;
    }
    int nFrom = PalOpenRegular(szFrom, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0, &st);
    if (nFrom < 0)
    {
        if (errno == ELOOP)
        {
            errno = EXDEV;
        }
        return -1;
    }
    CCopyGuard guard;
    char szTemp[PATH_MAX];
    int nTo = CreateCopyTemp(szTo, st.st_mode & 0777, guard, szTemp, sizeof(szTemp));
    if (nTo < 0)
    {
        int nErrno = errno;
        close(nFrom);
        errno = nErrno;
        return -1;
    }
    bool bOk = FillCopy(nFrom, nTo, st);
    int nErrno = bOk ? 0 : errno;
    if (close(nTo) != 0 && bOk)
    {
        bOk = false;
        nErrno = errno;
    }
    close(nFrom);
    {
        CEndSignalsBlocked blocked;
        if (!bOk)
        {
            unlink(szTemp);
            guard.SetTemp(nullptr);
        }
        else
        {
            nErrno = PlaceCopy(szTemp, szTo, guard);
        }
    }
    if (nErrno == 0)
    {
        nErrno = PalSyncDirectoryOf(szTo);
        if (nErrno != 0)
        {
            // Not on the disk: the source is still whole, so the copy goes.
            unlink(szTo);
        }
    }
    if (nErrno == 0 && unlink(szFrom) != 0)
    {
        nErrno = errno;
        unlink(szTo);
    }
    errno = nErrno;
    return nErrno == 0 ? 0 : -1;
}

// Puts a renamed entry back under its old name after its new one could not be made durable.
static void UndoRename(const char* szFrom, const char* szTo)
{
    if (osRenameNoReplace(szTo, szFrom) != 0 && IsNoReplaceMissing(errno))
    {
        LinkThenUnlink(szTo, szFrom);
    }
}

// Within one file system: renameat2(RENAME_NOREPLACE), else link + unlink (a directory, which
// cannot be linked: a check, then rename), and the new name synced to the disk.
static int RenameNoReplace(const char* szFrom, const char* szTo)
{
    if (osRenameNoReplace(szFrom, szTo) != 0)
    {
        if (!IsNoReplaceMissing(errno))
        {
            return -1;
        }
        struct stat st;
        if (lstat(szFrom, &st) == 0 && S_ISDIR(st.st_mode))
        {
            if (lstat(szTo, &st) == 0)
            {
                errno = EEXIST;
                return -1;
            }
            if (rename(szFrom, szTo) != 0)
            {
                return -1;
            }
        }
        else if (LinkThenUnlink(szFrom, szTo) != 0)
        {
            if (!IsLinkMissing(errno))
            {
                return -1;
            }
            CEndSignalsBlocked blocked;
            int nErrno = RenameOverClaim(szFrom, szTo);
            if (nErrno != 0)
            {
                errno = nErrno;
                return -1;
            }
        }
    }
    int nErrno = PalSyncDirectoryOf(szTo);
    if (nErrno != 0)
    {
        UndoRename(szFrom, szTo);
        errno = nErrno;
        return -1;
    }
    return 0;
}

static int MoveNoReplace(const char* szFrom, const char* szTo)
{
    if (RenameNoReplace(szFrom, szTo) == 0)
    {
        return 0;
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
    if (!PalCheckWindowsName(lpExistingFileName) || !PalCheckWindowsName(lpNewFileName))
    {
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
