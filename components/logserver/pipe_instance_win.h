// Instances of the log pipe on Windows, shared by the listener and the pipe server.
#pragma once

#include <windows.h>

#include <string>

// One more instance of the pipe at wstrPath (\\.\pipe\NAME): inbound, message type, read as a
// byte stream (a record's writes come together in one read when they are there), overlapped.
// bFirst: fails when the pipe exists already. INVALID_HANDLE_VALUE and GetLastError on
// failure.
HANDLE CreateLogPipeInstance(const std::wstring& wstrPath, bool bFirst);
// strPath in the ANSI code page as UTF-16; false when it does not convert.
bool WidenPipePath(const std::string& strPath, std::wstring* pwstrPath);
