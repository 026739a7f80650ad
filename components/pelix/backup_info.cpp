// The backup information of a file is "<size>:<md5>", its size in decimal bytes and the
// lower-case hex MD5 of its whole content, as UTF-16 at the start of the caller's record. The
// file is read in one pass through a fixed buffer, whatever its size.
#include "backup_info.h"

#include "md5.h"

#include <cstdint>

namespace
{

const DWORD kReadChunk = 64 * 1024;
// The room the text may take: the record is 3,108 bytes of UTF-16 units.
const int kRecordUnits = 3108 / 2;

// Writes the decimal form of nValue at szOut; answers the number of digits.
int FormatDecimal(char* szOut, uint64_t nValue)
{
    char szReversed[24];
    int nDigits = 0;
    do
    {
        szReversed[nDigits++] = (char)('0' + nValue % 10);
        nValue /= 10;
    } while (nValue != 0);
    for (int i = 0; i < nDigits; ++i)
    {
        szOut[i] = szReversed[nDigits - 1 - i];
    }
    szOut[nDigits] = '\0';
    return nDigits;
}

// Hashes the file at szPath; answers 0 and fills pnSize and szHex, or a Win32 error code.
DWORD HashFile(const char* szPath, uint64_t* pnSize, char* szHex)
{
    HANDLE hFile = CreateFileA(szPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        return GetLastError();
    }
    // Only a file on disk has an end to read to: a serial line or a console would keep the
    // read waiting, and the null device would pass as an empty file.
    if (GetFileType(hFile) != FILE_TYPE_DISK)
    {
        CloseHandle(hFile);
        return ERROR_ACCESS_DENIED;
    }
    unsigned char chunk[kReadChunk];
    CMessageDigest5 digest;
    uint64_t nSize = 0;
    DWORD dwError = ERROR_SUCCESS;
    for (;;)
    {
        DWORD dwRead = 0;
        if (!ReadFile(hFile, chunk, kReadChunk, &dwRead, nullptr))
        {
            dwError = GetLastError();
            break;
        }
        if (dwRead == 0)
        {
            break;
        }
        digest.Update(chunk, dwRead);
        nSize += dwRead;
    }
    CloseHandle(hFile);
    if (dwError != ERROR_SUCCESS)
    {
        // A read error must never leave a 0 that reads as success.
        return dwError;
    }
    digest.HexDigest(nullptr, 0, szHex, 33);
    *pnSize = nSize;
    return ERROR_SUCCESS;
}

} // namespace

DWORD FillBackupFileInfo(LPCWSTR wszPath, WCHAR* wszText)
{
    wszText[0] = 0;

    char szPath[1024];
    if (WideCharToMultiByte(CP_ACP, 0, wszPath, -1, szPath, sizeof(szPath), nullptr, nullptr) == 0)
    {
        DWORD dwError = GetLastError();
        return dwError != ERROR_SUCCESS ? dwError : ERROR_INVALID_NAME;
    }
    uint64_t nSize = 0;
    char szHex[33];
    DWORD dwError = HashFile(szPath, &nSize, szHex);
    if (dwError != ERROR_SUCCESS)
    {
        return dwError;
    }

    char szInfo[64];
    int nLength = FormatDecimal(szInfo, nSize);
    szInfo[nLength++] = ':';
    for (int i = 0; i < 32; ++i)
    {
        szInfo[nLength++] = szHex[i];
    }
    static_assert(20 + 1 + 32 + 1 < kRecordUnits, "the text fits the record");
    // The text is plain ASCII: every byte is one UTF-16 unit.
    for (int i = 0; i < nLength; ++i)
    {
        wszText[i] = (WCHAR)(unsigned char)szInfo[i];
    }
    wszText[nLength] = 0;
    return ERROR_SUCCESS;
}
