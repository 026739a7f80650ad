// The trace call that every subsystem reports through. Each call becomes one LOG_WRITE record
// sent over the log server's named pipe; a missing log server never fails a caller.
#pragma once

#include "platform.h"

// Trace levels. The trace client copies a level unread and log readers know it by its number,
// so the values never change; 68, 69, 73 and 87 are the character codes of D, E, I and W.
enum ETraceLevel
{
    kLevelProgress = 4,   // progress and most failures
    kLevelPipeReport = 5, // the pipe client's own reports
    kLevelRejected = 8,   // a rejected computer name
    kLevelDebug = 'D',
    kLevelError = 'E',
    kLevelInfo = 'I',
    kLevelWarning = 'W',
};

// The source tag that the program's own traces carry.
#define VENDREL_TRACE_SOURCE ".\\Vendrel"

void LogTrace(int nLevel, const char* szSource, int nLine, const char* szFormat, ...)
    VENDREL_PRINTF(4, 5);
