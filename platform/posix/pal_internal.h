// Shared pieces of the POSIX platform layer: the object behind a HANDLE and the error helpers.
// Only the layer's own sources include this header.
#pragma once

#include "pal.h"
#include "temp_names.h"

#include <climits>
#include <dirent.h>
#include <sys/stat.h>

enum EPalHandleKind
{
    PAL_HANDLE_FILE = 1,
    PAL_HANDLE_FIND = 2,
    PAL_HANDLE_PIPE = 3
};

// A file that CREATE_ALWAYS replaces: the handle writes a locked file under a temporary name
// beside the target, and CloseHandle moves it over the target only when every write succeeded.
struct SPalReplacement
{
    // The existing target, held under the handle's lock so that no reader takes it meanwhile;
    // -1 when there was none.
    int m_nTargetFd;
    bool m_bWriteFailed;
    char m_szTarget[PATH_MAX];
    // The new file's name beside the target; empty while the file is unnamed (O_TMPFILE).
    char m_szTemp[PATH_MAX];
};

// A HANDLE points at one of these. The magic number lets a stale or foreign pointer fail with
// ERROR_INVALID_HANDLE instead of being used as a descriptor.
struct SPalHandle
{
    uint32_t m_dwMagic;
    int m_nKind;
    int m_nFd;
    DIR* m_pDir;
    // Directory listings: the name pattern that entries must match ("*" matches all).
    char m_szPattern[MAX_PATH];
    // File handles from CREATE_ALWAYS: what CloseHandle puts in place; null otherwise.
    SPalReplacement* m_pReplacement;
};

#define PAL_HANDLE_MAGIC 0x56484e44u

HANDLE PalNewHandle(int nKind, int nFd, DIR* pDir);
// The object behind h when it is a live handle of kind nKind (0: any kind), else null with
// ERROR_INVALID_HANDLE set.
SPalHandle* PalHandleOf(HANDLE h, int nKind);
void PalFreeHandle(SPalHandle* pHandle);
// Puts a replacement's file in place when every write succeeded, else removes it and keeps the
// old file; false (and the last error) when the file could not be put in place.
bool PalFinishReplacement(SPalReplacement* pReplacement, int nFd);

// Sets the last error from errno; ENOENT on a path whose directory does not exist gives
// ERROR_PATH_NOT_FOUND, as Windows reports it.
void PalSetErrorFromErrno(int nErrno);
void PalSetErrorForPath(int nErrno, const char* szPath);
DWORD PalErrorForPath(int nErrno, const char* szPath);

FILETIME PalFileTimeFromTimespec(const struct timespec& ts);
// The Win32 attributes of an entry named szName (its last path component).
DWORD PalAttributesFromStat(const struct stat& st, const char* szName);

// UTF-16 to UTF-8 for names handed to the file system: false (and ERROR_INVALID_NAME) when the
// text holds a lone surrogate or does not fit, so that no other name is ever opened instead.
bool PalWideNameToUtf8(LPCWSTR wszName, char* szOut, size_t nOut);

// The pipe client behind CreateFileW("\\.\pipe\NAME", ...); wszName is the part after the prefix.
HANDLE PalOpenPipeClient(LPCWSTR wszName);
// True when wszPath starts with \\.\pipe\ (any case); *pwszName then points at the name.
bool PalIsPipePath(LPCWSTR wszPath, LPCWSTR* pwszName);

// True when an open handle of this system holds the file: Windows then refuses to delete or
// move it. FILE_SHARE_DELETE is not told apart. Only a regular file can be in use: a link in
// the last component is not followed, and a FIFO, socket or device is never opened.
bool PalIsFileInUse(const char* szPath);

// False (and ERROR_INVALID_NAME set) when the last component of szPath holds a byte that a
// Windows file name cannot hold: 0x01-0x1F or one of < > : " | ? *.
bool PalCheckWindowsName(const char* szPath);

// fsync of the directory that holds szPath, so that a name just made there survives a power
// cut. 0, or the errno of the failure; a file system that cannot sync a directory (EINVAL,
// EOPNOTSUPP, ENOSYS) keeps names by its own rules and counts as success.
int PalSyncDirectoryOf(const char* szPath);

// szTemp receives a fresh hidden temporary name (see temp_names.h) in szPath's directory;
// false when szPath has no last component or the result does not fit in nTemp bytes.
bool PalFormatTempName(const char* szPath, char* szTemp, size_t nTemp);

// Writes all of n bytes to fd, retrying after signals and partial writes.
bool PalWriteAll(int nFd, const void* pData, size_t n, size_t* pnWritten);

// rename(2) that fails with EEXIST instead of replacing szTo; ENOSYS or EINVAL where the kernel
// or the file system has no such rename.
int PalRenameNoReplace(const char* szFrom, const char* szTo);

// Opens a regular file without ever blocking: O_NONBLOCK for the open (a FIFO without a writer,
// a device), cleared afterwards. A FIFO, socket, device or directory fails with EACCES, and so
// does an open that fails with ENXIO (a FIFO without a reader, a socket): Windows' file
// namespace holds none of them. *pSt receives the opened file's status.
int PalOpenRegular(const char* szPath, int nFlags, mode_t nMode, struct stat* pSt);

// CreateFileA with no access and OPEN_EXISTING: a handle that only queries what the name is
// (file_info.cpp), whatever kind of entry it names, never blocking and never reading it.
HANDLE PalOpenForQuery(const char* szPath, DWORD dwFlagsAndAttributes);

// Takes the share lock of an open (see LockForShare in files.cpp) without waiting; false with
// ERROR_SHARING_VIOLATION set when another open holds a conflicting one, and false with ESTALE
// in errno when a network file system finds the file gone.
bool PalLockForShare(int nFd, DWORD dwDesiredAccess, DWORD dwShareMode);

// PalLockForShare for a file opened by its name, which must still be there once the lock is
// held: false with ESTALE in errno (and its last error set) when a replacement took the name.
bool PalLockNamedFile(int nFd, DWORD dwDesiredAccess, DWORD dwShareMode);

// How often an open is tried again after the file it found proved to be replaced (ESTALE).
enum
{
    kPalStaleReopens = 3
};

// Whether an open that failed with nErrno, tried nReopen times again so far, is worth another
// try: true for ESTALE, once the client has been made to look szPath's name up again.
bool PalRetryStaleOpen(int nErrno, const char* szPath, int nReopen);

// CREATE_ALWAYS and CREATE_NEW: the new file is locked before any other opener can see it, and
// neither follows a symbolic link in the last component.
HANDLE PalCreateAlways(const char* szPath, int nFlags, DWORD dwDesiredAccess, DWORD dwShareMode);
HANDLE PalCreateNew(const char* szPath, int nFlags, DWORD dwDesiredAccess, DWORD dwShareMode);

// New files start unnamed (O_TMPFILE) where the system allows it (the default); false makes them
// start under a temporary name, as on file systems without unnamed files.
void PalUseUnnamedFiles(bool bUse);
