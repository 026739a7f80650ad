// The library that the loader tests load.
#include "platform.h"

extern "C" VENDREL_EXPORT int PalTestAnswer()
{
    return 42;
}
