// The request: not parsed yet, every request is refused.
#include "kelsio.h"

char** cgiGetVars(CharEncoding, bool, unsigned char** ppRawBody, long* pnRawLength)
{
    if (ppRawBody != nullptr)
        *ppRawBody = nullptr;
    if (pnRawLength != nullptr)
        *pnRawLength = 0;
    return nullptr;
}

void cgiFreeVars(char**, unsigned char*) {}
