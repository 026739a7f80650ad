#include "dispatch.h"

#include "log_record.h"
#include "module_name.h"
#include "system_calls.h"
#include "trace_gate.h"
#include "trace_state.h"

#include <string.h>

// "[" tag "][" name "]" takes the lengths of both plus these four characters.
static const size_t kPrefixBrackets = 4;

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

void LogTraceW(int nLevel, const WCHAR* wszSource, int nLine, const WCHAR* wszFormat, ...)
{
    if (g_hTraceLib == NULL || g_pfnInitDebugWithIni == NULL || g_pfnTraceW0200 == NULL)
    {
        return;
    }
    va_list args;
    va_start(args, wszFormat);
    DispatchTraceW(nLevel, wszSource, nLine, wszFormat, args, FALSE);
    va_end(args);
}

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

void DispatchTrace(int nLevel, const char* szSource, int nLine, const char* szFormat, va_list args,
                   BOOL bToPipe)
{
    char szMessage[TRACE_MESSAGE_UNITS];
    memset(szMessage, 0, sizeof(szMessage));
    if (!g_bExeNameReady)
    {
        memset(g_szExeName, 0, sizeof(g_szExeName));
        getModuleBaseName(g_szExeName);
        g_bExeNameReady = TRUE;
    }
    size_t nTag = strnlen(g_szModuleTag, sizeof(g_szModuleTag) - 1);
    size_t nName = strnlen(g_szExeName, sizeof(g_szExeName) - 1);
    size_t nPos = 0;
    szMessage[nPos++] = '[';
    memcpy(szMessage + nPos, g_szModuleTag, nTag);
    nPos += nTag;
    szMessage[nPos++] = ']';
    szMessage[nPos++] = '[';
    memcpy(szMessage + nPos, g_szExeName, nName);
    nPos += nName;
    szMessage[nPos++] = ']';
    // The formatter cuts at the bound without failing; the last character stays the terminator.
    size_t nRoom = TRACE_MESSAGE_UNITS - 1 - kPrefixBrackets - nTag - nName;
    _vsnprintf(szMessage + nPos, nRoom, szFormat, args);
    szMessage[TRACE_MESSAGE_UNITS - 1] = '\0';

    if (bToPipe && IsTraceEnabled())
    {
        BOOL bSent = WriteLogRecord(CurrentUnixTime(), GetCurrentProcessId(), GetCurrentThreadId(),
                                    nLevel, szSource, nLine, szMessage);
        NoteSendResult(bSent);
        return;
    }
    if (g_hTraceLib != NULL && g_pfnInitDebugWithIni != NULL && g_pfnTraceA0200 != NULL)
    {
        g_pfnTraceA0200(szSource, nLine, nLevel, "%s", szMessage);
    }
}

static size_t WideLengthBounded(const WCHAR* wszText, size_t nMax)
{
    size_t nLength = 0;
    while (nLength < nMax && wszText[nLength] != 0)
    {
        nLength++;
    }
    return nLength;
}

void DispatchTraceW(int nLevel, const WCHAR* wszSource, int nLine, const WCHAR* wszFormat,
                    va_list args, BOOL bToPipe)
{
    WCHAR wszMessage[TRACE_MESSAGE_UNITS];
    memset(wszMessage, 0, sizeof(wszMessage));
    if (!g_bExeNameReadyW)
    {
        memset(g_wszExeName, 0, sizeof(g_wszExeName));
        getModuleBaseNameW(g_wszExeName);
        g_bExeNameReadyW = TRUE;
    }
    size_t nTag = WideLengthBounded(g_wszModuleTag, 1023);
    size_t nName = WideLengthBounded(g_wszExeName, MAX_PATH - 1);
    size_t nPos = 0;
    wszMessage[nPos++] = '[';
    memcpy(wszMessage + nPos, g_wszModuleTag, nTag * sizeof(WCHAR));
    nPos += nTag;
    wszMessage[nPos++] = ']';
    wszMessage[nPos++] = '[';
    memcpy(wszMessage + nPos, g_wszExeName, nName * sizeof(WCHAR));
    nPos += nName;
    wszMessage[nPos++] = ']';
    size_t nRoom = TRACE_MESSAGE_UNITS - 1 - kPrefixBrackets - nTag - nName;
    _vsnwprintf(wszMessage + nPos, nRoom, wszFormat, args);
    wszMessage[TRACE_MESSAGE_UNITS - 1] = 0;

    if (bToPipe && IsTraceEnabled())
    {
        BOOL bSent = WriteLogRecord(CurrentUnixTime(), GetCurrentProcessId(), GetCurrentThreadId(),
                                    nLevel, wszSource, nLine, wszMessage);
        NoteSendResult(bSent);
        return;
    }
    if (g_hTraceLib != NULL && g_pfnInitDebugWithIni != NULL && g_pfnTraceW0200 != NULL &&
        g_pfnTraceW != NULL)
    {
        g_pfnTraceW(0, 0, 0, wszSource, nLine, nLevel, wszMessage);
    }
}
