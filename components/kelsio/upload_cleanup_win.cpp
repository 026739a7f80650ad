// Upload clean-up on Windows: identities are the volume serial number and file index, a reparse
// point (a link) is never followed, and a console control event deletes the remembered files
// before the default handler ends the process.
#include "upload_cleanup.h"

#include "upload_registry.h"

#include <atomic>

namespace
{

std::atomic<bool> s_bHandlersInstalled(false);

const DWORD s_dwNotRegular =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;

// Opens the name itself for its attributes only: no data access, so it works while the file is
// open for writing, and a link is opened as the link.
bool ReadIdentity(const char* szPath, BY_HANDLE_FILE_INFORMATION& info)
{
    HANDLE hFile = CreateFileA(szPath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    BOOL bRead = GetFileInformationByHandle(hFile, &info);
    CloseHandle(hFile);
    return bRead && (info.dwFileAttributes & s_dwNotRegular) == 0;
}

// Runs on a thread of its own while the program's thread may still be writing the file, which
// it opened sharing deletion: the name goes now, the data when the process ends.
BOOL WINAPI OnConsoleControl(DWORD dwCtrlType)
{
    switch (dwCtrlType)
    {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        KelsioUploadRemove(nullptr);
        break;
    default:
        break;
    }
    // The next handler, by default the one that ends the process, still runs.
    return FALSE;
}

} // namespace

bool KelsioUploadIdentify(const char* szPath, CUploadIdentity& identity)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!ReadIdentity(szPath, info))
        return false;
    identity.nVolume = info.dwVolumeSerialNumber;
    identity.nFile =
        (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool KelsioUploadIsRegularFile(const char* szPath)
{
    DWORD dwAttributes = GetFileAttributesA(szPath);
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & s_dwNotRegular) == 0;
}

bool KelsioUploadIsSameFile(const char* szPath, const CUploadIdentity* pIdentity)
{
    if (pIdentity == nullptr)
        return KelsioUploadIsRegularFile(szPath);
    CUploadIdentity current;
    return KelsioUploadIdentify(szPath, current) && current.nVolume == pIdentity->nVolume &&
           current.nFile == pIdentity->nFile;
}

bool KelsioUploadDeleteUnheld(const char* szPath)
{
    // Opened with no sharing at all: while any handle holds the file, also one that shares
    // deletion as the library's own writer does, the open fails with a sharing violation and
    // nothing is deleted. The name itself is opened, a link as the link.
    HANDLE hFile = CreateFileA(szPath, DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    // Decided on the open file, which nobody can swap or hold while this handle is open.
    BY_HANDLE_FILE_INFORMATION info;
    FILE_DISPOSITION_INFO disposition = {TRUE};
    bool bDeleted =
        GetFileInformationByHandle(hFile, &info) && (info.dwFileAttributes & s_dwNotRegular) == 0 &&
        SetFileInformationByHandle(hFile, FileDispositionInfo, &disposition, sizeof(disposition));
    CloseHandle(hFile);
    return bDeleted;
}

void KelsioUploadInstallHandlers()
{
    bool bExpected = false;
    if (!s_bHandlersInstalled.compare_exchange_strong(bExpected, true))
        return;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}
