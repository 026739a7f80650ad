// File names that Windows cannot hold. The POSIX file system takes any byte but '/' and NUL; the
// layer refuses what Windows refuses, so that a name is filed on one build exactly when it is on
// the other.
#include "pal_internal.h"

// Besides the control bytes 0x01-0x1F.
static const char kReservedChars[] = "<>:\"|?*";
static const unsigned char kFirstPrintable = 0x20;

bool PalCheckWindowsName(const char* szPath)
{
    const char* pSlash = strrchr(szPath, '/');
    const char* szName = pSlash == nullptr ? szPath : pSlash + 1;
    for (const char* p = szName; *p != '\0'; ++p)
    {
        if (static_cast<unsigned char>(*p) < kFirstPrintable ||
            strchr(kReservedChars, *p) != nullptr)
        {
            SetLastError(ERROR_INVALID_NAME);
            return false;
        }
    }
    return true;
}
