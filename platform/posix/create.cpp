// Creating files: CREATE_ALWAYS as a replacement put in place at CloseHandle, CREATE_NEW as a
// locked file linked in under its name. Both start as an unnamed file (O_TMPFILE) where the
// system has one, else under a temporary name beside the target. Another opener never sees a new
// file before its share lock is held, nor an old one emptied or cut short by a writer that could
// not finish.
#include "copy_guard.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

static const mode_t kNewFileMode = 0666;
static const int kTempTries = 64;

// The bits behind a temporary name: unpredictable enough that two processes rarely pick the
// same one, and an exclusive create settles the rare case.
static uint64_t NextTempBits()
{
    static std::atomic<uint64_t> s_nCounter{0};
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t n = (static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(ts.tv_nsec) ^
                 (static_cast<uint64_t>(ts.tv_sec) << 20) ^ (++s_nCounter * 0x9e3779b97f4a7c15ULL);
    // splitmix64's finaliser spreads every input bit over the result.
    n ^= n >> 30;
    n *= 0xbf58476d1ce4e5b9ULL;
    n ^= n >> 27;
    n *= 0x94d049bb133111ebULL;
    n ^= n >> 31;
    return n;
}

bool PalFormatTempName(const char* szPath, char* szTemp, size_t nTemp)
{
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    const char* pSlash = strrchr(szPath, '/');
    size_t nDir = pSlash == nullptr ? 0 : static_cast<size_t>(pSlash - szPath) + 1;
    const char* szName = szPath + nDir;
    size_t nName = strlen(szName);
    if (nName == 0)
    {
        return false;
    }
    if (nName > PAL_TEMP_NAME_KEEP)
    {
        nName = PAL_TEMP_NAME_KEEP;
    }
    char szRandom[PAL_TEMP_NAME_RANDOM_CHARS + 1];
    uint64_t nBits = NextTempBits();
    for (size_t i = 0; i < PAL_TEMP_NAME_RANDOM_CHARS; ++i)
    {
        szRandom[i] = kAlphabet[nBits % (sizeof(kAlphabet) - 1)];
        nBits /= sizeof(kAlphabet) - 1;
    }
    szRandom[PAL_TEMP_NAME_RANDOM_CHARS] = '\0';
    int nLen = snprintf(szTemp, nTemp, "%.*s.%.*s%s%s", static_cast<int>(nDir), szPath,
                        static_cast<int>(nName), szName, PAL_TEMP_NAME_SUFFIX, szRandom);
    return nLen > 0 && static_cast<size_t>(nLen) < nTemp;
}

// Creates a new file under a temporary name beside szPath and takes the open's share lock on it
// before anything else can know the name. Returns the descriptor, or -1 with the last error set.
static int CreateLockedTemp(const char* szPath, int nFlags, DWORD dwDesiredAccess,
                            DWORD dwShareMode, char* szTemp, size_t nTemp)
{
    for (int nTry = 0; nTry < kTempTries; ++nTry)
    {
        if (!PalFormatTempName(szPath, szTemp, nTemp))
        {
            SetLastError(ERROR_INVALID_NAME);
            return -1;
        }
        struct stat st;
        int nFd = PalOpenRegular(szTemp, nFlags | O_CREAT | O_EXCL | O_NOFOLLOW, kNewFileMode, &st);
        if (nFd < 0 && (errno == EEXIST || errno == ELOOP))
        {
            // The name is taken (a link there counts too): draw another.
            continue;
        }
        if (nFd < 0)
        {
            // Reported for the caller's name: a missing directory is ERROR_PATH_NOT_FOUND.
            PalSetErrorForPath(errno, szPath);
            return -1;
        }
        if (!PalLockForShare(nFd, dwDesiredAccess, dwShareMode))
        {
            unlink(szTemp);
            close(nFd);
            return -1;
        }
        return nFd;
    }
    SetLastError(ERROR_ALREADY_EXISTS);
    return -1;
}

// Whether new files start unnamed (O_TMPFILE) where the file system allows it; tests turn it off
// to run the temporary-name route that other file systems take.
static std::atomic<bool> g_bUseUnnamed{true};

void PalUseUnnamedFiles(bool bUse)
{
    g_bUseUnnamed = bUse;
}

// An unnamed file is given a name through its /proc/self/fd entry; without /proc it cannot be.
static bool CanNameUnnamedFiles()
{
    static const bool s_bProc = access("/proc/self/fd", X_OK) == 0;
    return s_bProc && g_bUseUnnamed;
}

// Creates an unnamed file in szPath's directory (O_TMPFILE) and locks it: nobody can open it
// before it is given a name, and a process killed meanwhile leaves nothing behind. -1 where the
// kernel, the file system or a read-only access does not allow it; the caller then takes a
// temporary name.
static int CreateUnnamed(const char* szPath, int nFlags, DWORD dwDesiredAccess, DWORD dwShareMode)
{
#ifdef O_TMPFILE
    if ((nFlags & O_ACCMODE) == O_RDONLY || !CanNameUnnamedFiles())
    {
        return -1;
    }
    char szDir[PATH_MAX];
    const char* pSlash = strrchr(szPath, '/');
    size_t nDir = pSlash == nullptr ? 0 : static_cast<size_t>(pSlash - szPath);
    if (pSlash == szPath)
    {
        nDir = 1;
    }
    if (nDir >= sizeof(szDir))
    {
        return -1;
    }
    memcpy(szDir, szPath, nDir);
    szDir[nDir] = '\0';
    int nFd = open(nDir == 0 ? "." : szDir, nFlags | O_TMPFILE, kNewFileMode);
    if (nFd < 0)
    {
        return -1;
    }
    if (!PalLockForShare(nFd, dwDesiredAccess, dwShareMode))
    {
        close(nFd);
        return -1;
    }
    return nFd;
#else
    (void)szPath;
    (void)nFlags;
    (void)dwDesiredAccess;
    (void)dwShareMode;
    return -1;
#endif
}

// Gives an unnamed file the name szName, never replacing an entry there (EEXIST).
static int NameUnnamed(int nFd, const char* szName)
{
    char szProc[64];
    snprintf(szProc, sizeof(szProc), "/proc/self/fd/%d", nFd);
    return linkat(AT_FDCWD, szProc, AT_FDCWD, szName, AT_SYMLINK_FOLLOW);
}

// The error for a name that the new file could not take: a symbolic link there is refused like
// any open that would go through one, anything else already exists.
static void SetExistsError(const char* szPath)
{
    struct stat st;
    bool bLink = lstat(szPath, &st) == 0 && S_ISLNK(st.st_mode);
    SetLastError(bLink ? ERROR_ACCESS_DENIED : ERROR_FILE_EXISTS);
}

// Closes a new file that is not taken: a named one is removed, an unnamed one goes by itself.
static void DiscardTemp(int nFd, const char* szTemp)
{
    if (szTemp[0] != '\0')
    {
        unlink(szTemp);
    }
    close(nFd);
}

// Gives the locked temporary file szPath as its name without replacing anything there. link(2)
// first; renameat2(RENAME_NOREPLACE) where the file system has no hard links. Returns 0, or the
// errno of the failure; ENOSYS when neither exists here.
static int LinkIntoPlace(const char* szTemp, const char* szPath)
{
    if (link(szTemp, szPath) == 0)
    {
        unlink(szTemp);
        return 0;
    }
    int nErrno = errno;
    if (nErrno != EPERM && nErrno != EOPNOTSUPP && nErrno != ENOSYS && nErrno != EMLINK)
    {
        return nErrno;
    }
    if (PalRenameNoReplace(szTemp, szPath) == 0)
    {
        return 0;
    }
    nErrno = errno;
    return nErrno == EINVAL || nErrno == EOPNOTSUPP ? ENOSYS : nErrno;
}

// The last error for an open that OpenLocked could not make.
static void SetOpenError(const char* szPath, int nErrno, bool bCreateNew)
{
    if (bCreateNew && (nErrno == EEXIST || nErrno == ELOOP))
    {
        SetExistsError(szPath);
    }
    else if (nErrno == ELOOP)
    {
        SetLastError(ERROR_ACCESS_DENIED);
    }
    else if (bCreateNew || nErrno != ENOENT)
    {
        PalSetErrorForPath(nErrno, szPath);
    }
}

// Opens szPath, never through a link at its end, and locks it for the handle's share mode.
// Returns the descriptor, or -1 with *pnOpenErrno the open's errno (0 when the lock was refused)
// and the last error set. A link at the name (ELOOP) is a file that is there for CREATE_NEW and
// is refused otherwise; a missing file is no error outside CREATE_NEW and leaves the last error.
static int OpenLocked(const char* szPath, int nFlags, mode_t nMode, DWORD dwDesiredAccess,
                      DWORD dwShareMode, bool bCreateNew, struct stat* pSt, int* pnOpenErrno)
{
    for (int nReopen = 0;; ++nReopen)
    {
        *pnOpenErrno = 0;
        int nFd = PalOpenRegular(szPath, nFlags | O_NOFOLLOW, nMode, pSt);
        if (nFd >= 0 && PalLockNamedFile(nFd, dwDesiredAccess, dwShareMode))
        {
            return nFd;
        }
        int nErrno = errno;
        bool bLockFailed = nFd >= 0;
        if (bLockFailed)
        {
            close(nFd);
        }
        if (PalRetryStaleOpen(nErrno, szPath, nReopen))
        {
            continue;
        }
        if (!bLockFailed)
        {
            *pnOpenErrno = nErrno;
            SetOpenError(szPath, nErrno, bCreateNew);
        }
        return -1;
    }
}

// Where the file system neither links nor renames without replacing, the file is created under
// its own name and locked at once: the one place where another opener could, for an instant,
// open it before the lock is held.
static int CreateInPlace(const char* szPath, int nFlags, DWORD dwDesiredAccess, DWORD dwShareMode)
{
    struct stat st;
    int nOpenErrno = 0;
    return OpenLocked(szPath, nFlags | O_CREAT | O_EXCL, kNewFileMode, dwDesiredAccess, dwShareMode,
                      true, &st, &nOpenErrno);
}

// CREATE_NEW through an unnamed file: 0 with *pnFd set, EEXIST, or another errno when the
// temporary-name route is to be taken.
static int CreateNewUnnamed(const char* szPath, int nFlags, DWORD dwDesiredAccess,
                            DWORD dwShareMode, int* pnFd)
{
    int nFd = CreateUnnamed(szPath, nFlags, dwDesiredAccess, dwShareMode);
    if (nFd < 0)
    {
        return ENOSYS;
    }
    if (NameUnnamed(nFd, szPath) != 0)
    {
        int nErrno = errno;
        close(nFd);
        return nErrno;
    }
    *pnFd = nFd;
    return 0;
}

HANDLE PalCreateNew(const char* szPath, int nFlags, DWORD dwDesiredAccess, DWORD dwShareMode)
{
    int nFd = -1;
    int nErrno = CreateNewUnnamed(szPath, nFlags, dwDesiredAccess, dwShareMode, &nFd);
    if (nErrno == EEXIST)
    {
        SetExistsError(szPath);
        return INVALID_HANDLE_VALUE;
    }
    // Empty while the file is unnamed.
    char szTemp[PATH_MAX] = "";
    if (nErrno != 0)
    {
        nFd =
            CreateLockedTemp(szPath, nFlags, dwDesiredAccess, dwShareMode, szTemp, sizeof(szTemp));
        if (nFd < 0)
        {
            return INVALID_HANDLE_VALUE;
        }
        nErrno = LinkIntoPlace(szTemp, szPath);
    }
    if (nErrno == ENOSYS)
    {
        DiscardTemp(nFd, szTemp);
        nFd = CreateInPlace(szPath, nFlags, dwDesiredAccess, dwShareMode);
        if (nFd < 0)
        {
            return INVALID_HANDLE_VALUE;
        }
    }
    else if (nErrno != 0)
    {
        DiscardTemp(nFd, szTemp);
        if (nErrno == EEXIST)
        {
            SetExistsError(szPath);
        }
        else
        {
            PalSetErrorForPath(nErrno, szPath);
        }
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = PalNewHandle(PAL_HANDLE_FILE, nFd, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        // The file was made: as on Windows, it stays.
        close(nFd);
        return h;
    }
    SetLastError(ERROR_SUCCESS);
    return h;
}

// Opens the file that CREATE_ALWAYS replaces under the handle's lock, so that the open is
// refused exactly when Windows refuses it (another handle holds the file). Returns the
// descriptor, -1 with *pbFailed false when there is no file, or -1 with *pbFailed true and the
// last error set.
static int LockExistingTarget(const char* szPath, int nFlags, DWORD dwDesiredAccess,
                              DWORD dwShareMode, struct stat* pSt, bool* pbFailed)
{
    int nOpenErrno = 0;
    int nFd = OpenLocked(szPath, nFlags, 0, dwDesiredAccess, dwShareMode, false, pSt, &nOpenErrno);
    *pbFailed = nFd < 0 && nOpenErrno != ENOENT;
    return nFd;
}

HANDLE PalCreateAlways(const char* szPath, int nFlags, DWORD dwDesiredAccess, DWORD dwShareMode)
{
    SPalReplacement* pReplacement =
        static_cast<SPalReplacement*>(calloc(1, sizeof(SPalReplacement)));
    if (pReplacement == nullptr)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    size_t nPath = strlen(szPath);
    if (nPath >= sizeof(pReplacement->m_szTarget))
    {
        free(pReplacement);
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    memcpy(pReplacement->m_szTarget, szPath, nPath + 1);
    struct stat stOld;
    bool bFailed = false;
    pReplacement->m_nTargetFd =
        LockExistingTarget(szPath, nFlags, dwDesiredAccess, dwShareMode, &stOld, &bFailed);
    if (bFailed)
    {
        free(pReplacement);
        return INVALID_HANDLE_VALUE;
    }
    bool bExisted = pReplacement->m_nTargetFd >= 0;
    // Unnamed until CloseHandle where the system allows it: a writer killed meanwhile leaves
    // nothing behind.
    int nFd = CreateUnnamed(szPath, nFlags, dwDesiredAccess, dwShareMode);
    if (nFd < 0)
    {
        nFd = CreateLockedTemp(szPath, nFlags, dwDesiredAccess, dwShareMode, pReplacement->m_szTemp,
                               sizeof(pReplacement->m_szTemp));
    }
    if (nFd < 0)
    {
        DWORD dwError = GetLastError();
        if (bExisted)
        {
            close(pReplacement->m_nTargetFd);
        }
        free(pReplacement);
        SetLastError(dwError);
        return INVALID_HANDLE_VALUE;
    }
    if (bExisted)
    {
        // The replacement keeps the permissions of the file it replaces.
        fchmod(nFd, stOld.st_mode & 07777);
    }
    HANDLE h = PalNewHandle(PAL_HANDLE_FILE, nFd, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        DiscardTemp(nFd, pReplacement->m_szTemp);
        if (bExisted)
        {
            close(pReplacement->m_nTargetFd);
        }
        free(pReplacement);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return h;
    }
    static_cast<SPalHandle*>(h)->m_pReplacement = pReplacement;
    SetLastError(bExisted ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

// Gives the unnamed file of a replacement a temporary name beside its target; 0 or an errno.
static int NameReplacement(SPalReplacement* pReplacement, int nFd)
{
    for (int nTry = 0; nTry < kTempTries; ++nTry)
    {
        if (!PalFormatTempName(pReplacement->m_szTarget, pReplacement->m_szTemp,
                               sizeof(pReplacement->m_szTemp)))
        {
            pReplacement->m_szTemp[0] = '\0';
            return ENAMETOOLONG;
        }
        if (NameUnnamed(nFd, pReplacement->m_szTemp) == 0)
        {
            return 0;
        }
        int nErrno = errno;
        if (nErrno != EEXIST)
        {
            pReplacement->m_szTemp[0] = '\0';
            return nErrno;
        }
    }
    pReplacement->m_szTemp[0] = '\0';
    return EEXIST;
}

bool PalFinishReplacement(SPalReplacement* pReplacement, int nFd)
{
    bool bOk = true;
    int nErrno = 0;
    // An unnamed file gets its temporary name only now, and SIGTERM, SIGINT and SIGHUP wait
    // until it has the target's name instead, so that they never leave the temporary one.
    bool bNameNow = !pReplacement->m_bWriteFailed && pReplacement->m_szTemp[0] == '\0';
    CEndSignalsBlocked blocked(bNameNow);
    if (bNameNow)
    {
        nErrno = NameReplacement(pReplacement, nFd);
    }
    if (pReplacement->m_bWriteFailed || nErrno != 0)
    {
        if (pReplacement->m_szTemp[0] != '\0')
        {
            unlink(pReplacement->m_szTemp);
        }
        if (nErrno != 0)
        {
            PalSetErrorForPath(nErrno, pReplacement->m_szTarget);
            bOk = false;
        }
    }
    else if (rename(pReplacement->m_szTemp, pReplacement->m_szTarget) != 0)
    {
        // rename(2) is atomic, also on network shares: the target is the old file or the new
        // one, never a mix. Both locks are still held here, so no reader meets the switch.
        nErrno = errno;
        unlink(pReplacement->m_szTemp);
        PalSetErrorForPath(nErrno, pReplacement->m_szTarget);
        bOk = false;
    }
    if (pReplacement->m_nTargetFd >= 0)
    {
        close(pReplacement->m_nTargetFd);
    }
    pReplacement->m_nTargetFd = -1;
    return bOk;
}
