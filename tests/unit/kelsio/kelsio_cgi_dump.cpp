// A CGI program that only parses its request through cgiGetVars, from the real standard input
// and environment, and prints each variable as name=value on a line (or REFUSED).
// KELSIO_DUMP_MODE says what it then does with the upload files the variables name:
//   take     moves the file of TempFileName to its name + ".taken", as the program files an
//            upload away, then frees the array;
//   free     frees the array, leaving the files to the library;
//   abandon  returns from main without freeing the array.
#include "kelsio.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

bool IsMode(const char* szMode)
{
    const char* szValue = getenv("KELSIO_DUMP_MODE");
    return szValue != nullptr && strcmp(szValue, szMode) == 0;
}

void TakeFile(char** ppVars)
{
    for (char** pp = ppVars; pp[0] != nullptr; pp += 2)
    {
        if (strcmp(pp[0], "TempFileName") != 0 || pp[1][0] == '\0')
            continue;
        std::string strTaken = std::string(pp[1]) + ".taken";
        MoveFileA(pp[1], strTaken.c_str());
    }
}

} // namespace

int main()
{
    char** ppVars = cgiGetVars(CHARENC_UNKNOWN, true, nullptr, nullptr);
    if (ppVars == nullptr)
    {
        printf("REFUSED\n");
        return 0;
    }
    for (char** pp = ppVars; pp[0] != nullptr; pp += 2)
        printf("%s=%s\n", pp[0], pp[1]);
    fflush(stdout);
    if (IsMode("abandon"))
        return 0;
    if (IsMode("take"))
        TakeFile(ppVars);
    cgiFreeVars(ppVars, nullptr);
    return 0;
}
