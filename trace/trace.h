// The trace call that every subsystem reports through. Each call becomes one LOG_WRITE record
// sent over the log server's named pipe; a missing log server never fails a caller.
#pragma once

#include "platform.h"

// The source tag that the program's own traces carry.
#define VENDREL_TRACE_SOURCE ".\\Vendrel"

void LogTrace(int nLevel, const char* szSource, int nLine, const char* szFormat, ...)
    VENDREL_PRINTF(4, 5);
