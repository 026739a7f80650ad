// The trace gate: how long a failed send keeps trace calls from trying the pipe again.
#include "trace_gate.h"

#include "system_calls.h"
#include "trace_state.h"

// Calls dropped outright before the clock is read again.
static const int kDropsBeforeClockCheck = 10;
// Time after a failed send during which the gate stays closed.
static const DWORD kReopenAfterMs = 5000;

BOOL IsTraceEnabled()
{
    if (g_bTraceEnabled)
    {
        return TRUE;
    }
    int nDropped = g_nDropCount;
    g_nDropCount = nDropped + 1;
    if (nDropped < kDropsBeforeClockCheck)
    {
        return FALSE;
    }
    g_nDropCount = 0;
    // Unsigned arithmetic: a wrap of the tick counter still gives the true difference.
    DWORD dwElapsed = osGetTickCount() - g_dwLastFailTick;
    if (dwElapsed <= kReopenAfterMs)
    {
        return FALSE;
    }
    g_bTraceEnabled = TRUE;
    return TRUE;
}
