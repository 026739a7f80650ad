// The shape of a hidden temporary name in the quarantine folder.
#include "temp_name.h"

#include <cstring>

static const char kTempMark[] = ".~";
static const size_t kTempMarkLength = sizeof(kTempMark) - 1;
static const size_t kTempRandomChars = 6;

bool IsHiddenTempName(const char* szName)
{
    if (szName == nullptr || szName[0] != '.')
    {
        return false;
    }
    size_t nLength = strlen(szName);
    size_t nSuffix = kTempMarkLength + kTempRandomChars;
    // The leading dot, at least one character of the name, then the suffix.
    if (nLength < 2 + nSuffix ||
        memcmp(szName + nLength - nSuffix, kTempMark, kTempMarkLength) != 0)
    {
        return false;
    }
    for (size_t i = nLength - kTempRandomChars; i < nLength; ++i)
    {
        char c = szName[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
        {
            return false;
        }
    }
    return true;
}
