// Delivery of one command text to the log server, over a pipe connection of its own.
#pragma once

#include "platform.h"

// The pipe that the log server owns.
#define LOG_SERVER_PIPE_NAME VTEXT("Log_ServerNamePipe")

// Sends wszCommand with its terminating NUL unit; answers whether it was delivered.
BOOL SendLogCommand(const WCHAR* wszCommand);
