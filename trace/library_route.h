// The trace library's route: messages handed to the optional trace library, never to the pipe.
#pragma once

#include "platform.h"

// The UTF-16 trace call. It only ever takes the trace library's route, so that a failing pipe
// is never reported into the pipe; without the library it does nothing.
void LogTraceW(int nLevel, const WCHAR* wszSource, int nLine, const WCHAR* wszFormat, ...);

// Hands a composed message to the trace library's entry point for its encoding, when the
// library is loaded and initialised and that entry point was found; otherwise does nothing.
void SendToTraceLibrary(int nLevel, const char* szSource, int nLine, const char* szMessage);
void SendToTraceLibrary(int nLevel, const WCHAR* wszSource, int nLine, const WCHAR* wszMessage);
