// What an open handle is and holds: handles that only query a name, the kind of file behind a
// handle, its attributes and size, the file pointer and the end of the file.
#include "pal_internal.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

HANDLE PalOpenForQuery(const char* szPath, DWORD dwFlagsAndAttributes)
{
    // O_PATH opens the entry itself without the open of its driver: a FIFO without a writer, a
    // terminal or a serial line neither blocks nor changes state, and nothing can be read.
    int nFlags = O_PATH | O_CLOEXEC;
    if ((dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) != 0)
    {
        nFlags |= O_NOFOLLOW;
    }
    int nFd = open(szPath, nFlags);
    if (nFd < 0)
    {
        PalSetErrorForPath(errno, szPath);
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (fstat(nFd, &st) != 0)
    {
        int nErrno = errno;
        close(nFd);
        PalSetErrorFromErrno(nErrno);
        return INVALID_HANDLE_VALUE;
    }
    if (S_ISDIR(st.st_mode) && (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) == 0)
    {
        // As on Windows: a directory is opened only by whoever says it expects one.
        close(nFd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = PalNewHandle(PAL_HANDLE_FILE, nFd, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        close(nFd);
        return h;
    }
    SetLastError(ERROR_SUCCESS);
    return h;
}

DWORD GetFileType(HANDLE hFile)
{
    SPalHandle* pHandle = PalHandleOf(hFile, 0);
    if (pHandle == nullptr || pHandle->m_nKind == PAL_HANDLE_FIND)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    if (pHandle->m_nKind == PAL_HANDLE_PIPE)
    {
        SetLastError(ERROR_SUCCESS);
        return FILE_TYPE_PIPE;
    }
    struct stat st;
    if (fstat(pHandle->m_nFd, &st) != 0)
    {
        PalSetErrorFromErrno(errno);
        return FILE_TYPE_UNKNOWN;
    }
    SetLastError(ERROR_SUCCESS);
    if (S_ISCHR(st.st_mode))
    {
        return FILE_TYPE_CHAR;
    }
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
    {
        return FILE_TYPE_PIPE;
    }
    // Regular files, directories and links are on a disk, and so is a block device as Windows
    // sees a volume; its attributes tell it apart (FILE_ATTRIBUTE_DEVICE).
    return FILE_TYPE_DISK;
}

BOOL GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation)
{
    SPalHandle* pHandle = PalHandleOf(hFile, PAL_HANDLE_FILE);
    if (pHandle == nullptr)
    {
        return FALSE;
    }
    if (lpFileInformation == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct stat st;
    if (fstat(pHandle->m_nFd, &st) != 0)
    {
        PalSetErrorFromErrno(errno);
        return FALSE;
    }
    memset(lpFileInformation, 0, sizeof(*lpFileInformation));
    lpFileInformation->dwFileAttributes = PalAttributesFromStat(st, "");
    lpFileInformation->ftCreationTime = PalFileTimeFromTimespec(st.st_ctim);
    lpFileInformation->ftLastAccessTime = PalFileTimeFromTimespec(st.st_atim);
    lpFileInformation->ftLastWriteTime = PalFileTimeFromTimespec(st.st_mtim);
    lpFileInformation->dwVolumeSerialNumber = static_cast<DWORD>(st.st_dev);
    // Only a file's bytes count as its size; directories and links report 0, as on Windows.
    uint64_t nSize = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    lpFileInformation->nFileSizeHigh = static_cast<DWORD>(nSize >> 32);
    lpFileInformation->nFileSizeLow = static_cast<DWORD>(nSize & 0xffffffffu);
    lpFileInformation->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    uint64_t nIndex = static_cast<uint64_t>(st.st_ino);
    lpFileInformation->nFileIndexHigh = static_cast<DWORD>(nIndex >> 32);
    lpFileInformation->nFileIndexLow = static_cast<DWORD>(nIndex & 0xffffffffu);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod)
{
    SPalHandle* pHandle = PalHandleOf(hFile, PAL_HANDLE_FILE);
    if (pHandle == nullptr)
    {
        return INVALID_SET_FILE_POINTER;
    }
    static const int s_anWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (dwMoveMethod > FILE_END)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    // Without the high word the distance is a signed 32-bit number; with it, the two words make
    // one signed 64-bit distance.
    int64_t nDistance = lDistanceToMove;
    if (lpDistanceToMoveHigh != nullptr)
    {
        uint64_t nBits =
            (static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
            static_cast<uint32_t>(lDistanceToMove);
        nDistance = static_cast<int64_t>(nBits);
    }
    off_t nPosition =
        lseek(pHandle->m_nFd, static_cast<off_t>(nDistance), s_anWhence[dwMoveMethod]);
    if (nPosition < 0)
    {
        SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : PalWin32ErrorFromErrno(errno));
        return INVALID_SET_FILE_POINTER;
    }
    uint64_t nNew = static_cast<uint64_t>(nPosition);
    if (lpDistanceToMoveHigh != nullptr)
    {
        *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint32_t>(nNew >> 32));
    }
    // A position whose low word is 0xFFFFFFFF is told from a failure by the last error.
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(nNew & 0xffffffffu);
}

BOOL SetEndOfFile(HANDLE hFile)
{
    SPalHandle* pHandle = PalHandleOf(hFile, PAL_HANDLE_FILE);
    if (pHandle == nullptr)
    {
        return FALSE;
    }
    off_t nPosition = lseek(pHandle->m_nFd, 0, SEEK_CUR);
    if (nPosition < 0 || ftruncate(pHandle->m_nFd, nPosition) != 0)
    {
        // A handle opened without write access: Windows denies it.
        SetLastError(errno == EBADF || errno == EINVAL ? ERROR_ACCESS_DENIED
                                                       : PalWin32ErrorFromErrno(errno));
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
