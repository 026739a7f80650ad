// The trace gate: after a failed send it drops calls, and looks at the clock only on every
// eleventh call, re-opening once more than 5000 ms have passed since the failure.
#pragma once

#include "platform.h"

typedef DWORD(WINAPI* PFN_GETTICKCOUNT)();

// The tick source of the gate and of the failure time. GetTickCount; tests put in their own
// clock so that they need not wait out the 5000 ms.
extern PFN_GETTICKCOUNT g_pfnGetTickCount;

// Answers whether the trace call should be sent now.
BOOL IsTraceEnabled();
