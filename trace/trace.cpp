// The trace call of every subsystem: through the gate, then over the pipe.
#include "trace.h"

#include "dispatch.h"
#include "trace_gate.h"

#include <stdarg.h>

void LogTrace(int nLevel, const char* szSource, int nLine, const char* szFormat, ...)
{
    if (!IsTraceEnabled())
    {
        return;
    }
    va_list args;
    va_start(args, szFormat);
    DispatchTrace(nLevel, szSource, nLine, szFormat, args, TRUE);
    va_end(args);
}
