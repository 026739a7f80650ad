// The stand-in scanning engine of the whole-request fuzz target: the backup information of a
// file is "<size>:stub", so that it costs no digest and the harness can sign uploads itself.
#pragma once

#include "platform.h"

#include <cstdint>

inline DWORD WINAPI StubBackupFileInfo(LPCWSTR wszPath, void* pRecord)
{
    WCHAR* wszText = static_cast<WCHAR*>(pRecord);
    wszText[0] = 0;
    char szPath[1024];
    if (WideCharToMultiByte(CP_ACP, 0, wszPath, -1, szPath, sizeof(szPath), nullptr, nullptr) == 0)
        return ERROR_INVALID_NAME;
    HANDLE hFile = CreateFileA(szPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return GetLastError();
    uint64_t nSize = 0;
    unsigned char chunk[4096];
    DWORD dwRead = 0;
    while (ReadFile(hFile, chunk, sizeof(chunk), &dwRead, nullptr) && dwRead > 0)
        nSize += dwRead;
    CloseHandle(hFile);

    char szDigits[24];
    int nDigits = 0;
    do
    {
        szDigits[nDigits++] = (char)('0' + nSize % 10);
        nSize /= 10;
    } while (nSize != 0);
    int nLength = 0;
    while (nDigits > 0)
        wszText[nLength++] = (WCHAR)szDigits[--nDigits];
    const char szTail[] = ":stub";
    for (int i = 0; szTail[i] != '\0'; ++i)
        wszText[nLength++] = (WCHAR)szTail[i];
    wszText[nLength] = 0;
    return ERROR_SUCCESS;
}
