// A scanning engine library that answers the true backup information of a file and then deletes
// the file, so that the end-to-end tests can see an upload vanish after the signature check and
// before it is filed.
#include "backup_info.h"

extern "C" VENDREL_EXPORT DWORD WINAPI PelixGetBackupFileInfoW(LPCWSTR wszPath, void* pRecord)
{
    DWORD dwError = FillBackupFileInfo(wszPath, static_cast<WCHAR*>(pRecord));
    if (dwError != ERROR_SUCCESS)
        return dwError;
    // The file is gone before the program goes on to account for it and file it.
    char szPath[1024];
    if (WideCharToMultiByte(CP_ACP, 0, wszPath, -1, szPath, sizeof(szPath), nullptr, nullptr) != 0)
        DeleteFileA(szPath);
    return ERROR_SUCCESS;
}
