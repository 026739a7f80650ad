// The shape of the platform layer's hidden temporary names; see temp_names.h.
#include "temp_names.h"

#include <string.h>

static bool IsRandomChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool IsReplacementTemporaryName(const char* szName)
{
    if (szName == NULL || szName[0] != '.')
    {
        return false;
    }
    const size_t nSuffix = sizeof(PAL_TEMP_NAME_SUFFIX) - 1;
    const size_t nTail = nSuffix + PAL_TEMP_NAME_RANDOM_CHARS;
    size_t nLen = strlen(szName);
    // The dot, at least one byte of the real name, the suffix and the random characters.
    if (nLen < 1 + 1 + nTail || nLen > 1 + PAL_TEMP_NAME_KEEP + nTail)
    {
        return false;
    }
    if (memcmp(szName + nLen - nTail, PAL_TEMP_NAME_SUFFIX, nSuffix) != 0)
    {
        return false;
    }
    for (size_t i = nLen - PAL_TEMP_NAME_RANDOM_CHARS; i < nLen; ++i)
    {
        if (!IsRandomChar(szName[i]))
        {
            return false;
        }
    }
    return true;
}
