// Trace records of the command through LogTrace.
#include "qtool_trace.h"

#include "qtool_output.h"
#include "trace.h"
#include "trace_setup.h"
#include "trace_state.h"

static const char kModuleTag[] = "vendrel-quarantine";

void SetUpToolTrace()
{
    // The program's own set-up, in pipe mode; when the executable's path has too few levels for
    // an install directory, the tag is stored all the same.
    if (InitDebugTrace("zeldebug.ini", "qvdbg20.dll", 2, kModuleTag, FALSE) == 0)
    {
        LoadTraceLibrary("", "", kModuleTag, TRUE);
    }
}

void ToolTrace(int nLine, const std::string& strText)
{
    // The text is passed as an argument, never as the format: names hold what endpoints sent.
    LogTrace(kLevelProgress, QTOOL_TRACE_SOURCE, nLine, "%s", TextField(strText).c_str());
}

bool ToolTraceDelivered(int nLine, const std::string& strText)
{
    // The gate closes after a failed send and stays closed for a while: this record is sent
    // whatever happened before, and the gate's state after it is the send's own outcome.
    g_bTraceEnabled = TRUE;
    g_nDropCount = 0;
    ToolTrace(nLine, strText);
    return g_bTraceEnabled != FALSE;
}
