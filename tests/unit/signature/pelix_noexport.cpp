// A library under the engine's file name that lacks the engine's export.
#include "platform.h"

extern "C" VENDREL_EXPORT DWORD WINAPI PelixGetBackupFileInfo(LPCWSTR, void*)
{
    return ERROR_NOT_SUPPORTED;
}
