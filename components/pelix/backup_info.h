// What the scanning engine knows of a file: its backup information text.
#pragma once

#include "platform.h"

// Writes the NUL-terminated backup information of the file at wszPath at the start of
// wszText, a record of 3,108 bytes; answers ERROR_SUCCESS or the Win32 error that stopped it,
// leaving an empty text.
DWORD FillBackupFileInfo(LPCWSTR wszPath, WCHAR* wszText);
