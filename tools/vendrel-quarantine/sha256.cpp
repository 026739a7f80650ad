// What both builds' SHA-256 share: the digest's hex form.
#include "sha256.h"

void BytesToHex(const unsigned char* pBytes, size_t nBytes, char* szHex)
{
    static const char kHexDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < nBytes; ++i)
    {
        szHex[2 * i] = kHexDigits[pBytes[i] >> 4];
        szHex[2 * i + 1] = kHexDigits[pBytes[i] & 0xf];
    }
    szHex[2 * nBytes] = '\0';
}
