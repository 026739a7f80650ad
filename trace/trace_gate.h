// The trace gate: after a failed send it drops calls, and looks at the clock only on every
// eleventh call, re-opening once more than 5000 ms have passed since the failure.
#pragma once

#include "platform.h"

// Answers whether the trace call should be sent now.
BOOL IsTraceEnabled();
