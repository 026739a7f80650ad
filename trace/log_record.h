// The LOG_WRITE record: eight tab-separated UTF-16 fields and a NUL unit, sent to the log
// server.
#pragma once

#include "platform.h"

// Answer whether the record was delivered.
BOOL WriteLogRecord(int nTime, DWORD dwProcessId, DWORD dwThreadId, int nLevel,
                    const char* szSource, int nLine, const char* szMessage);
BOOL WriteLogRecord(int nTime, DWORD dwProcessId, DWORD dwThreadId, int nLevel,
                    const WCHAR* wszSource, int nLine, const WCHAR* wszMessage);

// The current time in whole seconds since 1970-01-01 UTC, as a signed 32-bit number.
int CurrentUnixTime();
