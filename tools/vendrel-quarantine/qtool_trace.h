// The command's audit trail: trace records through the program's own trace client, under the
// module tag "vendrel-quarantine", so that the log server keeps what the command deleted.
#pragma once

#include <string>

// The source lines that the command's records carry; log readers know them by these.
enum EToolTraceLine
{
    kTraceLineFileDeleted = 100,
    kTraceLineFileNotDeleted = 101,
    kTraceLinePurgeSummary = 102,
    kTraceLineLeftoverRemoved = 110,
    kTraceLineLeftoverNotRemoved = 111,
    kTraceLineRescan = 120,
    kTraceLineCheck = 130,
};

// The source tag of the command's records.
#define QTOOL_TRACE_SOURCE ".\\vendrel-quarantine"

// Stores the module tag and the executable's name for every record that follows.
void SetUpToolTrace();
// One record at the progress level; control characters in strText are escaped.
void ToolTrace(int nLine, const std::string& strText);
// Sends one record and answers whether the log server's pipe took it.
bool ToolTraceDelivered(int nLine, const std::string& strText);
// Where the log server's pipe is, for messages.
std::string LogPipeLocation();
