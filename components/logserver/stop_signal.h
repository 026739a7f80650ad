// How the log server learns that it should end, and how its standard output is set up.
#pragma once

// Call first, before any thread starts: routes SIGINT/SIGTERM (Windows: Ctrl-C and a console
// close) to WaitForStopSignal.
void InstallStopSignalHandlers();
// Blocks until one of those signals arrives.
void WaitForStopSignal();
// Standard output carries UTF-8 lines byte for byte.
void UseBinaryStdout();
