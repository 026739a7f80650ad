// Where the log server's pipe is natively: a socket in the pipe directory.
#include "qtool_trace.h"

#include "platform.h"

std::string LogPipeLocation()
{
    return std::string(PalPipeDirectory()) + "/Log_ServerNamePipe";
}
