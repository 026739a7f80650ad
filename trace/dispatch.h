// Composing a trace message and handing it to the pipe or to the trace library.
#pragma once

#include "trace.h"

#include <stdarg.h>

// The UTF-16 trace call. It only ever takes the trace library's route, so that a failing pipe
// is never reported into the pipe; without the library it does nothing.
void LogTraceW(int nLevel, const WCHAR* wszSource, int nLine, const WCHAR* wszFormat, ...);

// Builds "[tag][exe]" + the formatted text in a 4096-unit buffer, cut to fit. With bToPipe set
// and the gate open the message goes out as a LOG_WRITE record; otherwise to the trace library
// when one is loaded.
void DispatchTrace(int nLevel, const char* szSource, int nLine, const char* szFormat, va_list args,
                   BOOL bToPipe);
void DispatchTraceW(int nLevel, const WCHAR* wszSource, int nLine, const WCHAR* wszFormat,
                    va_list args, BOOL bToPipe);

// Size of the message buffer, in characters of either width.
#define TRACE_MESSAGE_UNITS 4096
