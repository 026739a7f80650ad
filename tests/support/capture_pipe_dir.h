// Where a test's log pipe lives: on POSIX a fresh directory named in VENDREL_PIPE_DIR, on
// Windows the system's pipe namespace.
#pragma once

#include "test_env.h"

#include <string>

struct CPipeDirectoryScope
{
    std::string strDir; // the directory made (POSIX), empty on Windows
    CSavedEnvVar saved; // VENDREL_PIPE_DIR before
};

// Makes an empty pipe directory and points the process at it; no pipe exists there until
// someone listens. Scopes nest: leave them in reverse order.
void EnterPipeDirectory(CPipeDirectoryScope* pScope);
// Removes the directory (and whatever socket is left in it) and restores the setting.
void LeavePipeDirectory(CPipeDirectoryScope* pScope);
