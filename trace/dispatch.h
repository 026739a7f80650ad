// The va_list forms of the trace calls: a message handed to the pipe or to the trace library.
#pragma once

#include "library_route.h"
#include "trace.h"
#include "trace_message.h"

#include <stdarg.h>

// Builds "[tag][exe]" + the formatted text in a TRACE_MESSAGE_UNITS buffer, cut to fit. With
// bToPipe set and the gate open the message goes out as a LOG_WRITE record; otherwise to the
// trace library when one is loaded.
void DispatchTrace(int nLevel, const char* szSource, int nLine, const char* szFormat, va_list args,
                   BOOL bToPipe);
void DispatchTraceW(int nLevel, const WCHAR* wszSource, int nLine, const WCHAR* wszFormat,
                    va_list args, BOOL bToPipe);
