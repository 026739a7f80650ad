// Where the log server's pipe is on Windows: a named pipe.
#include "qtool_trace.h"

std::string LogPipeLocation()
{
    return "\\\\.\\pipe\\Log_ServerNamePipe";
}
