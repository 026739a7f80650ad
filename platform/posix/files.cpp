// Opening, reading and writing files, their times and attributes, and their deletion.
#include "pal_internal.h"

#include "system_calls.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

static int OpenFlagsForAccess(DWORD dwDesiredAccess)
{
    bool bRead = (dwDesiredAccess & GENERIC_READ) != 0;
    bool bWrite = (dwDesiredAccess & GENERIC_WRITE) != 0;
    if (bRead && bWrite)
    {
        return O_RDWR;
    }
    return bWrite ? O_WRONLY : O_RDONLY;
}

// Share modes through flock: a reader that lets others read takes a shared lock; a writer, or
// anyone who keeps readers out, an exclusive one. Two opens conflict exactly when their locks do,
// also inside one process, because flock belongs to the open file description. An open that
// shares both reading and writing keeps nobody out, so it takes a shared lock too.
static int LockForShare(DWORD dwDesiredAccess, DWORD dwShareMode)
{
    const DWORD dwShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
    if ((dwShareMode & dwShareAll) == dwShareAll)
    {
        return LOCK_SH;
    }
    if ((dwDesiredAccess & GENERIC_WRITE) != 0 || (dwShareMode & FILE_SHARE_READ) == 0)
    {
        return LOCK_EX;
    }
    return LOCK_SH;
}

bool PalLockForShare(int nFd, DWORD dwDesiredAccess, DWORD dwShareMode)
{
    if (osFlock(nFd, LockForShare(dwDesiredAccess, dwShareMode) | LOCK_NB) == 0)
    {
        return true;
    }
    if (errno == EWOULDBLOCK)
    {
        SetLastError(ERROR_SHARING_VIOLATION);
        return false;
    }
    if (errno == ESTALE)
    {
        PalSetErrorFromErrno(ESTALE);
        return false;
    }
    // Other flock failures (a file system without locks) leave the file usable, unshared.
    return true;
}

bool PalLockNamedFile(int nFd, DWORD dwDesiredAccess, DWORD dwShareMode)
{
    if (!PalLockForShare(nFd, dwDesiredAccess, dwShareMode))
    {
        return false;
    }
    // The lock may have come only as a replacing writer let the file go, once its rename had
    // put a new file under the name: this one then has no name left, and what is written
    // through it would reach nobody. Windows replaces a file in place, so there the holder
    // would see the new content.
    struct stat st;
    if (fstat(nFd, &st) != 0 || st.st_nlink == 0)
    {
        int nErrno = errno == ESTALE || st.st_nlink == 0 ? ESTALE : errno;
        PalSetErrorFromErrno(nErrno);
        errno = nErrno;
        return false;
    }
    return true;
}

bool PalRetryStaleOpen(int nErrno, const char* szPath, int nReopen)
{
    if (nErrno != ESTALE || nReopen >= kPalStaleReopens)
    {
        return false;
    }
    // A network file system's client keeps a name it looked up for a while (a second on the
    // volumes the operator's guide sets up) and hands out the file it found then, even after
    // another server replaced it: everything done through it fails with ESTALE. Reading the
    // directory as far as the name makes the client look the name up again.
    char szDir[PATH_MAX];
    const char* szSlash = strrchr(szPath, '/');
    const char* szName = szSlash != nullptr ? szSlash + 1 : szPath;
    size_t nDir = szSlash == nullptr ? 0 : szSlash == szPath ? 1 : szSlash - szPath;
    if (nDir >= sizeof(szDir))
    {
        return false;
    }
    if (nDir == 0)
    {
        szDir[nDir++] = '.';
    }
    else
    {
        memcpy(szDir, szPath, nDir);
    }
    szDir[nDir] = '\0';
    DIR* pDir = opendir(szDir);
    if (pDir == nullptr)
    {
        return false;
    }
    const struct dirent* pEntry = nullptr;
    while ((pEntry = readdir(pDir)) != nullptr && strcmp(pEntry->d_name, szName) != 0)
    {
    }
    closedir(pDir);
    return true;
}

bool PalIsFileInUse(const char* szPath)
{
    // Looked at first: a link, FIFO, socket or device is no file that a handle could hold, and
    // opening one may block or have effects of its own (a link could lead to /dev/zero or to a
    // FIFO outside the directory).
    struct stat st;
    if (lstat(szPath, &st) != 0 || !S_ISREG(st.st_mode))
    {
        return false;
    }
    // O_NOFOLLOW and O_NONBLOCK settle a swap made after the look: a link fails to open, a
    // FIFO opens without waiting and is told apart by its status below.
    int nFd = open(szPath, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (nFd < 0)
    {
        return false;
    }
    bool bInUse = fstat(nFd, &st) == 0 && S_ISREG(st.st_mode) &&
                  flock(nFd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(nFd);
    return bInUse;
}

int PalOpenRegular(const char* szPath, int nFlags, mode_t nMode, struct stat* pSt)
{
    // Looked at first, so that a device is not even opened (opening some has effects of its
    // own); the descriptor's own status below settles a race with a rename.
    bool bFollow = (nFlags & O_NOFOLLOW) == 0;
    if ((bFollow ? stat(szPath, pSt) : lstat(szPath, pSt)) == 0 && !S_ISREG(pSt->st_mode))
    {
        errno = S_ISLNK(pSt->st_mode) ? ELOOP : EACCES;
        return -1;
    }
    int nFd = open(szPath, nFlags | O_NONBLOCK, nMode);
    if (nFd < 0)
    {
        if (errno == ENXIO || errno == ENODEV || errno == EISDIR)
        {
            errno = EACCES;
        }
        return -1;
    }
    // O_NONBLOCK only kept the open itself from waiting (on a FIFO put in place meanwhile); on
    // the regular file this must be it changes no read or write, so it is left set, which saves
    // every open a system call.
    if (fstat(nFd, pSt) != 0)
    {
        // ESTALE among others: the caller may look the name up again.
        int nErrno = errno;
        close(nFd);
        errno = nErrno;
        return -1;
    }
    if (!S_ISREG(pSt->st_mode))
    {
        close(nFd);
        errno = EACCES;
        return -1;
    }
    return nFd;
}

// Opens an existing file, or for OPEN_ALWAYS creates it; *pbExisted tells whether it was there.
static int OpenExisting(const char* szPath, int nFlags, DWORD dwDisposition, bool* pbExisted)
{
    const mode_t nMode = 0666;
    struct stat st;
    *pbExisted = true;
    if (dwDisposition != OPEN_ALWAYS)
    {
        return PalOpenRegular(szPath, nFlags, nMode, &st);
    }
    // Create first, so that the caller learns whether the file was already there.
    for (int nTry = 0; nTry < 16; ++nTry)
    {
        int nFd = PalOpenRegular(szPath, nFlags | O_CREAT | O_EXCL, nMode, &st);
        if (nFd >= 0 || errno != EEXIST)
        {
            *pbExisted = false;
            return nFd;
        }
        nFd = PalOpenRegular(szPath, nFlags, nMode, &st);
        if (nFd >= 0 || errno != ENOENT)
        {
            return nFd;
        }
    }
    errno = EBUSY;
    return -1;
}

static void SetOpenError(int nErrno, const char* szPath, bool bNoFollow)
{
    if (bNoFollow && nErrno == ELOOP)
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return;
    }
    PalSetErrorForPath(nErrno, szPath);
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    if (lpFileName == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (dwDesiredAccess == 0 && dwCreationDisposition == OPEN_EXISTING)
    {
        return PalOpenForQuery(lpFileName, dwFlagsAndAttributes);
    }
    if (dwCreationDisposition == TRUNCATE_EXISTING && (dwDesiredAccess & GENERIC_WRITE) == 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!PalCheckWindowsName(lpFileName))
    {
        return INVALID_HANDLE_VALUE;
    }
    int nFlags = OpenFlagsForAccess(dwDesiredAccess) | O_CLOEXEC | O_NOCTTY;
    // This layer cannot read or write a link itself: such an open is refused rather than going
    // through the link to a file elsewhere.
    bool bNoFollow = (dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
    if (bNoFollow)
    {
        nFlags |= O_NOFOLLOW;
    }
    switch (dwCreationDisposition)
    {
    case CREATE_ALWAYS:
        return PalCreateAlways(lpFileName, nFlags, dwDesiredAccess, dwShareMode);
    case CREATE_NEW:
        return PalCreateNew(lpFileName, nFlags, dwDesiredAccess, dwShareMode);
    case OPEN_EXISTING:
    case OPEN_ALWAYS:
    case TRUNCATE_EXISTING:
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    bool bExisted = false;
    int nFd = -1;
    for (int nReopen = 0;; ++nReopen)
    {
        nFd = OpenExisting(lpFileName, nFlags, dwCreationDisposition, &bExisted);
        if (nFd >= 0 && PalLockNamedFile(nFd, dwDesiredAccess, dwShareMode))
        {
            break;
        }
        // The lock's failure has set the last error; an open's is set from errno below.
        int nErrno = errno;
        bool bLockFailed = nFd >= 0;
        if (bLockFailed)
        {
            close(nFd);
        }
        if (PalRetryStaleOpen(nErrno, lpFileName, nReopen))
        {
            continue;
        }
        if (!bLockFailed)
        {
            SetOpenError(nErrno, lpFileName, bNoFollow);
        }
        return INVALID_HANDLE_VALUE;
    }
    // Truncating only now, under the lock, keeps a reader's data intact when the open is refused.
    if (dwCreationDisposition == TRUNCATE_EXISTING && ftruncate(nFd, 0) != 0)
    {
        int nErrno = errno;
        close(nFd);
        PalSetErrorFromErrno(nErrno);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = PalNewHandle(PAL_HANDLE_FILE, nFd, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        close(nFd);
        return h;
    }
    bool bReportExisting = bExisted && dwCreationDisposition == OPEN_ALWAYS;
    SetLastError(bReportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    if (lpFileName == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    LPCWSTR wszPipeName = nullptr;
    if (PalIsPipePath(lpFileName, &wszPipeName))
    {
        return PalOpenPipeClient(wszPipeName);
    }
    char szPath[4096];
    if (!PalWideNameToUtf8(lpFileName, szPath, sizeof(szPath)))
    {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(szPath, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                       dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

static bool IsWouldBlock(int nErrno)
{
    return nErrno == EAGAIN || nErrno == EWOULDBLOCK;
}

// Pipe connections stay non-blocking from their connection attempt on (clearing the flag would
// cost every trace record one more system call); reads and writes on them wait here instead,
// with no time limit, as a blocking descriptor would. False, with errno set, when poll fails.
static bool WaitForPipe(int nFd, short nEvents)
{
    struct pollfd pfd = {nFd, nEvents, 0};
    int nRet;
    do
    {
        nRet = poll(&pfd, 1, -1);
    } while (nRet < 0 && errno == EINTR);
    return nRet > 0;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesRead != nullptr)
    {
        *lpNumberOfBytesRead = 0;
    }
    SPalHandle* pHandle = PalHandleOf(hFile, 0);
    if (pHandle == nullptr || pHandle->m_nKind == PAL_HANDLE_FIND)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToRead > 0))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool bPipe = pHandle->m_nKind == PAL_HANDLE_PIPE;
    char* pBytes = static_cast<char*>(lpBuffer);
    DWORD dwDone = 0;
    while (dwDone < nNumberOfBytesToRead)
    {
        ssize_t nGot = read(pHandle->m_nFd, pBytes + dwDone, nNumberOfBytesToRead - dwDone);
        if (nGot < 0 && (errno == EINTR ||
                         (bPipe && IsWouldBlock(errno) && WaitForPipe(pHandle->m_nFd, POLLIN))))
        {
            continue;
        }
        if (nGot < 0)
        {
            // A descriptor open for writing only: Windows calls that a denied access.
            SetLastError(errno == EBADF ? ERROR_ACCESS_DENIED : PalWin32ErrorFromErrno(errno));
            if (lpNumberOfBytesRead != nullptr)
            {
                *lpNumberOfBytesRead = dwDone;
            }
            return FALSE;
        }
        if (nGot == 0)
        {
            if (bPipe && dwDone == 0)
            {
                SetLastError(ERROR_BROKEN_PIPE);
                return FALSE;
            }
            break;
        }
        dwDone += static_cast<DWORD>(nGot);
        if (bPipe)
        {
            // A pipe read returns what has arrived, as a byte-mode pipe does.
            break;
        }
    }
    if (lpNumberOfBytesRead != nullptr)
    {
        *lpNumberOfBytesRead = dwDone;
    }
    return TRUE;
}

bool PalWriteAll(int nFd, const void* pData, size_t n, size_t* pnWritten)
{
    const char* pBytes = static_cast<const char*>(pData);
    size_t nDone = 0;
    while (nDone < n)
    {
        ssize_t nPut = write(nFd, pBytes + nDone, n - nDone);
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
            break;
        }
        nDone += static_cast<size_t>(nPut);
    }
    if (pnWritten != nullptr)
    {
        *pnWritten = nDone;
    }
    return nDone == n;
}

// Sockets are written with send(MSG_NOSIGNAL): a peer that went away gives an error, never
// SIGPIPE, which would end the whole program.
static bool SendAll(int nFd, const char* pBytes, size_t n, size_t* pnWritten)
{
    size_t nDone = 0;
    while (nDone < n)
    {
        ssize_t nPut = send(nFd, pBytes + nDone, n - nDone, MSG_NOSIGNAL);
        if (nPut < 0 && (errno == EINTR || (IsWouldBlock(errno) && WaitForPipe(nFd, POLLOUT))))
        {
            continue;
        }
        if (nPut < 0)
        {
            break;
        }
        nDone += static_cast<size_t>(nPut);
    }
    *pnWritten = nDone;
    return nDone == n;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesWritten != nullptr)
    {
        *lpNumberOfBytesWritten = 0;
    }
    SPalHandle* pHandle = PalHandleOf(hFile, 0);
    if (pHandle == nullptr || pHandle->m_nKind == PAL_HANDLE_FIND)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToWrite > 0))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    size_t nWritten = 0;
    bool bOk;
    if (pHandle->m_nKind == PAL_HANDLE_PIPE)
    {
        bOk = SendAll(pHandle->m_nFd, static_cast<const char*>(lpBuffer), nNumberOfBytesToWrite,
                      &nWritten);
    }
    else
    {
        bOk = PalWriteAll(pHandle->m_nFd, lpBuffer, nNumberOfBytesToWrite, &nWritten);
    }
    if (lpNumberOfBytesWritten != nullptr)
    {
        *lpNumberOfBytesWritten = static_cast<DWORD>(nWritten);
    }
    if (!bOk && pHandle->m_pReplacement != nullptr)
    {
        // A replacement cut short is never put in place: the old file stays whole.
        pHandle->m_pReplacement->m_bWriteFailed = true;
    }
    if (!bOk)
    {
        SetLastError(errno == EBADF ? ERROR_ACCESS_DENIED : PalWin32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

FILETIME PalFileTimeFromTimespec(const struct timespec& ts)
{
    // FILETIME counts 100 ns units from 1601-01-01; the Unix epoch lies 11644473600 s later.
    const int64_t nEpochDelta = 11644473600LL;
    FILETIME ft = {0, 0};
    if (ts.tv_sec < -nEpochDelta)
    {
        return ft;
    }
    uint64_t nTicks = static_cast<uint64_t>(ts.tv_sec + nEpochDelta) * 10000000ULL +
                      static_cast<uint64_t>(ts.tv_nsec / 100);
    ft.dwLowDateTime = static_cast<DWORD>(nTicks & 0xffffffffu);
    ft.dwHighDateTime = static_cast<DWORD>(nTicks >> 32);
    return ft;
}

BOOL GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                 LPFILETIME lpLastWriteTime)
{
    SPalHandle* pHandle = PalHandleOf(hFile, PAL_HANDLE_FILE);
    if (pHandle == nullptr)
    {
        return FALSE;
    }
    struct stat st;
    if (fstat(pHandle->m_nFd, &st) != 0)
    {
        PalSetErrorFromErrno(errno);
        return FALSE;
    }
    // POSIX keeps no creation time; the status change time is the nearest.
    if (lpCreationTime != nullptr)
    {
        *lpCreationTime = PalFileTimeFromTimespec(st.st_ctim);
    }
    if (lpLastAccessTime != nullptr)
    {
        *lpLastAccessTime = PalFileTimeFromTimespec(st.st_atim);
    }
    if (lpLastWriteTime != nullptr)
    {
        *lpLastWriteTime = PalFileTimeFromTimespec(st.st_mtim);
    }
    return TRUE;
}

// A name with a leading dot is hidden; "." and ".." are not names of their own.
static bool IsHiddenName(const char* szName)
{
    return szName[0] == '.' && strcmp(szName, ".") != 0 && strcmp(szName, "..") != 0;
}

static const char* LastComponent(const char* szPath, char* szBuf, size_t nBuf)
{
    size_t nLen = strlen(szPath);
    while (nLen > 1 && szPath[nLen - 1] == '/')
    {
        --nLen;
    }
    size_t nStart = nLen;
    while (nStart > 0 && szPath[nStart - 1] != '/')
    {
        --nStart;
    }
    size_t nPart = nLen - nStart;
    if (nPart >= nBuf)
    {
        nPart = nBuf - 1;
    }
    memcpy(szBuf, szPath + nStart, nPart);
    szBuf[nPart] = '\0';
    return szBuf;
}

DWORD PalAttributesFromStat(const struct stat& st, const char* szName)
{
    DWORD dwAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (S_ISLNK(st.st_mode))
    {
        // What Windows shows for a symbolic link: an entry whose content lies elsewhere.
        dwAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
    else if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
    {
        // FIFOs, sockets and devices: none of them is a file that can be read as one.
        dwAttributes = FILE_ATTRIBUTE_DEVICE;
    }
    if (IsHiddenName(szName))
    {
        dwAttributes |= FILE_ATTRIBUTE_HIDDEN;
    }
    if (!S_ISDIR(st.st_mode) && (st.st_mode & 0222) == 0)
    {
        dwAttributes |= FILE_ATTRIBUTE_READONLY;
    }
    return dwAttributes;
}

DWORD GetFileAttributesA(LPCSTR lpFileName)
{
    if (lpFileName == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    // The entry itself, not what a link in the last component points at: a caller that must
    // only take regular files can tell a link by FILE_ATTRIBUTE_REPARSE_POINT.
    struct stat st;
    if (lstat(lpFileName, &st) != 0)
    {
        PalSetErrorForPath(errno, lpFileName);
        return INVALID_FILE_ATTRIBUTES;
    }
    char szName[MAX_PATH];
    return PalAttributesFromStat(st, LastComponent(lpFileName, szName, sizeof(szName)));
}

BOOL DeleteFileA(LPCSTR lpFileName)
{
    if (lpFileName == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (PalIsFileInUse(lpFileName))
    {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (unlink(lpFileName) != 0)
    {
        // Linux answers EISDIR for a directory; Windows denies the access.
        PalSetErrorForPath(errno, lpFileName);
        return FALSE;
    }
    return TRUE;
}
