#include "exact_argument.h"

#include "platform.h"

#include <shellapi.h>

#include <cstring>
#include <memory>

bool IsArgumentExact(int nIndex, const char* szArgument)
{
    int nCount = 0;
    LPWSTR* ppArguments = CommandLineToArgvW(GetCommandLineW(), &nCount);
    if (ppArguments == NULL)
    {
        return false;
    }
    bool bExact = false;
    if (nIndex >= 0 && nIndex < nCount)
    {
        // No best fit: a character without its own byte in the code page counts as lost, as
        // one that became the default character does.
        BOOL bUsedDefault = FALSE;
        int nBytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, ppArguments[nIndex], -1,
                                         NULL, 0, NULL, &bUsedDefault);
        if (nBytes > 0 && !bUsedDefault)
        {
            std::unique_ptr<char[]> pAnsi(new char[nBytes]);
            bExact = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, ppArguments[nIndex], -1,
                                         pAnsi.get(), nBytes, NULL, &bUsedDefault) == nBytes &&
                     !bUsedDefault && strcmp(pAnsi.get(), szArgument) == 0;
        }
    }
    LocalFree(ppArguments);
    return bExact;
}
