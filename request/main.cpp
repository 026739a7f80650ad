#include "platform.h"
#include "request_handler.h"

#include <cstdio>

int main()
{
    // Before any library can throw into the program.
    PalPrepareUnwinder();
    // The answer goes out through a text-mode stream: every LF as CR LF, in both builds.
    _setmode(_fileno(stdout), _O_TEXT);
    return HandleRequest();
}
