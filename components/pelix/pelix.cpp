// The scanning engine's library: one export, with the Win32 API calling convention, that fills
// the caller's record with the backup information of a file.
#include "backup_info.h"

extern "C" VENDREL_EXPORT DWORD WINAPI PelixGetBackupFileInfoW(LPCWSTR wszPath, void* pRecord)
{
    return FillBackupFileInfo(wszPath, static_cast<WCHAR*>(pRecord));
}
