#include "test_requirements.h"

#include <cstdlib>
#include <cstring>

bool IsStrictTestRun()
{
    const char* szStrict = getenv("VENDREL_STRICT");
    return szStrict != nullptr && strcmp(szStrict, "1") == 0;
}
