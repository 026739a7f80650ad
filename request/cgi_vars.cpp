#include "cgi_vars.h"

#include <cstring>

const char* getCgiVar(char** ppVars, const char* szName)
{
    if (ppVars == nullptr || szName == nullptr)
        return nullptr;
    // Entries alternate name, value; a null name ends the array.
    for (char** ppEntry = ppVars; ppEntry[0] != nullptr; ppEntry += 2)
    {
        if (strcmp(ppEntry[0], szName) == 0)
            return ppEntry[1];
    }
    return nullptr;
}
