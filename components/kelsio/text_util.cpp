#include "text_util.h"

#include <cstring>

namespace
{

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool KelsioEqualsNoCaseN(const char* pA, size_t nA, const char* szB)
{
    size_t nB = strlen(szB);
    if (nA != nB)
        return false;
    for (size_t i = 0; i < nA; ++i)
    {
        if (LowerAscii(pA[i]) != LowerAscii(szB[i]))
            return false;
    }
    return true;
}

bool KelsioEqualsNoCase(const char* szA, const char* szB)
{
    return KelsioEqualsNoCaseN(szA, strlen(szA), szB);
}

size_t KelsioCopyCut(char* szOut, size_t nSize, const char* szSource)
{
    if (szOut == nullptr || nSize == 0)
        return 0;
    size_t nLength = strlen(szSource);
    if (nLength > nSize - 1)
        nLength = nSize - 1;
    memcpy(szOut, szSource, nLength);
    szOut[nLength] = '\0';
    return nLength;
}
