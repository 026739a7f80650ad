// A CGI program that only parses its request through cgiGetVars, from the real standard input
// and environment, and prints each variable as name=value on a line (or REFUSED).
#include "kelsio.h"

#include <cstdio>

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
    cgiFreeVars(ppVars, nullptr);
    return 0;
}
