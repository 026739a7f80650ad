// Handing a trace message to the pipe or to the trace library, for both character types.
#include "dispatch.h"

#include "log_record.h"
#include "system_calls.h"
#include "trace_gate.h"
#include "trace_state.h"

// Closes the gate after a failed send and keeps it open after a delivered one.
static void NoteSendResult(BOOL bSent)
{
    if (bSent)
    {
        g_bTraceEnabled = TRUE;
        return;
    }
    g_bTraceEnabled = FALSE;
    g_dwLastFailTick = osGetTickCount();
}

template <typename TChar>
static void RouteMessage(int nLevel, const TChar* pszSource, int nLine, const TChar* pszFormat,
                         va_list args, BOOL bToPipe)
{
    TChar szMessage[TRACE_MESSAGE_UNITS];
    FormatTraceMessage(szMessage, pszFormat, args);
    if (bToPipe && IsTraceEnabled())
    {
        BOOL bSent = WriteLogRecord(CurrentUnixTime(), GetCurrentProcessId(), GetCurrentThreadId(),
                                    nLevel, pszSource, nLine, szMessage);
        NoteSendResult(bSent);
        return;
    }
    SendToTraceLibrary(nLevel, pszSource, nLine, szMessage);
}

void DispatchTrace(int nLevel, const char* szSource, int nLine, const char* szFormat, va_list args,
                   BOOL bToPipe)
{
    RouteMessage(nLevel, szSource, nLine, szFormat, args, bToPipe);
}

void DispatchTraceW(int nLevel, const WCHAR* wszSource, int nLine, const WCHAR* wszFormat,
                    va_list args, BOOL bToPipe)
{
    RouteMessage(nLevel, wszSource, nLine, wszFormat, args, bToPipe);
}
