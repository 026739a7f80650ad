// The trace library's route: LogTraceW and the hand-over to the library's entry points.
#include "library_route.h"

#include "trace_message.h"
#include "trace_state.h"

#include <stdarg.h>

void LogTraceW(int nLevel, const WCHAR* wszSource, int nLine, const WCHAR* wszFormat, ...)
{
    if (g_hTraceLib == NULL || g_pfnInitDebugWithIni == NULL || g_pfnTraceW0200 == NULL)
    {
        return;
    }
    WCHAR wszMessage[TRACE_MESSAGE_UNITS];
    va_list args;
    va_start(args, wszFormat);
    FormatTraceMessage(wszMessage, wszFormat, args);
    va_end(args);
    SendToTraceLibrary(nLevel, wszSource, nLine, wszMessage);
}

void SendToTraceLibrary(int nLevel, const char* szSource, int nLine, const char* szMessage)
{
    if (g_hTraceLib != NULL && g_pfnInitDebugWithIni != NULL && g_pfnTraceA0200 != NULL)
    {
        g_pfnTraceA0200(szSource, nLine, nLevel, "%s", szMessage);
    }
}

void SendToTraceLibrary(int nLevel, const WCHAR* wszSource, int nLine, const WCHAR* wszMessage)
{
    if (g_hTraceLib != NULL && g_pfnInitDebugWithIni != NULL && g_pfnTraceW0200 != NULL &&
        g_pfnTraceW != NULL)
    {
        g_pfnTraceW(0, 0, 0, wszSource, nLine, nLevel, wszMessage);
    }
}
