// The whole command, apart from the process: reads the command line, finds the installation,
// sets up the trace and runs one command. The executable's main() and the tests call it alike.
#pragma once

#include "qtool_output.h"

struct SToolEnvironment
{
    // $KELSIO_HOME, or null.
    const char* szKelsioHome = nullptr;
    // The home the build was configured with; empty: none.
    const char* szConfiguredHome = "";
    // The command's own path.
    const char* szExePath = "";
};

// Answers the exit status: 0 done, 1 failed, 2 usage error (nothing changed).
int RunTool(int argc, const char* const* argv, const SToolEnvironment& environment, COutput* pOut,
            COutput* pErr);
