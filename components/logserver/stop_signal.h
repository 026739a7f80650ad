// How the log server learns that it should end or reopen its output, and how its standard
// output is set up.
#pragma once

enum class EServerSignal
{
    Stop,  // SIGINT/SIGTERM; Windows: Ctrl-C or a console close
    Reopen // SIGHUP (POSIX only): the output file was rotated
};

// Call first, before any thread starts: routes those signals to WaitForServerSignal.
void InstallStopSignalHandlers();
// Blocks until one of those signals arrives.
EServerSignal WaitForServerSignal();
// Makes WaitForServerSignal answer Stop, as SIGTERM would (the service manager's stop).
// Callable from any thread.
void RequestServerStop();
// Standard output carries UTF-8 lines byte for byte.
void UseBinaryStdout();
