// A scanning engine library that answers the true backup information of a file and then deletes
// the file, so that the end-to-end tests can see an upload vanish after the signature check and
// before it is filed.
#include "platform.h"

#include "md5.h"

#include <cstdint>

namespace
{

const DWORD kReadChunk = 16 * 1024;

DWORD HashFile(const char* szPath, uint64_t* pnSize, char* szHex)
{
    HANDLE hFile = CreateFileA(szPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return GetLastError();
    static unsigned char s_chunk[kReadChunk];
    CMessageDigest5 digest;
    uint64_t nSize = 0;
    DWORD dwRead = 0;
    while (ReadFile(hFile, s_chunk, kReadChunk, &dwRead, nullptr) && dwRead > 0)
    {
        digest.Update(s_chunk, dwRead);
        nSize += dwRead;
    }
    CloseHandle(hFile);
    digest.HexDigest(nullptr, 0, szHex, 33);
    *pnSize = nSize;
    return ERROR_SUCCESS;
}

// "<size>:<md5>", as the real engine has it; answers the length.
int FormatInfo(char* szOut, uint64_t nSize, const char* szHex)
{
    char szReversed[24];
    int nDigits = 0;
    do
    {
        szReversed[nDigits++] = (char)('0' + nSize % 10);
        nSize /= 10;
    } while (nSize != 0);
    int nLength = 0;
    while (nDigits > 0)
        szOut[nLength++] = szReversed[--nDigits];
    szOut[nLength++] = ':';
    for (int i = 0; i < 32; ++i)
        szOut[nLength++] = szHex[i];
    szOut[nLength] = '\0';
    return nLength;
}

} // namespace

extern "C" VENDREL_EXPORT DWORD WINAPI PelixGetBackupFileInfoW(LPCWSTR wszPath, void* pRecord)
{
    WCHAR* wszText = static_cast<WCHAR*>(pRecord);
    wszText[0] = 0;
    char szPath[1024];
    if (WideCharToMultiByte(CP_ACP, 0, wszPath, -1, szPath, sizeof(szPath), nullptr, nullptr) == 0)
        return ERROR_INVALID_NAME;
    uint64_t nSize = 0;
    char szHex[33] = {0};
    DWORD dwError = HashFile(szPath, &nSize, szHex);
    if (dwError != ERROR_SUCCESS)
        return dwError;
    // The file is gone before the program goes on to account for it and file it.
    DeleteFileA(szPath);

    char szInfo[64];
    int nLength = FormatInfo(szInfo, nSize, szHex);
    for (int i = 0; i < nLength; ++i)
        wszText[i] = (WCHAR)(unsigned char)szInfo[i];
    wszText[nLength] = 0;
    return ERROR_SUCCESS;
}
