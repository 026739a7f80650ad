// Where the test's log pipe lives: on POSIX a fresh directory named in VENDREL_PIPE_DIR, on
// Windows the system's pipe namespace.
#pragma once

#include <string>

// Makes the pipe directory and points the process at it; answers the previous setting.
void EnterCapturePipeDirectory(std::string* pstrSaved, bool* pbHadSaved);
// Removes the directory (and whatever socket is left in it) and restores the setting.
void LeaveCapturePipeDirectory(const std::string& strSaved, bool bHadSaved);
