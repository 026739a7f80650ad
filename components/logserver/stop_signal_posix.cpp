#include "stop_signal.h"

#include <csignal>
#include <pthread.h>
#include <unistd.h>

static sigset_t g_stopSignals;

void InstallStopSignalHandlers()
{
    sigemptyset(&g_stopSignals);
    sigaddset(&g_stopSignals, SIGINT);
    sigaddset(&g_stopSignals, SIGTERM);
    sigaddset(&g_stopSignals, SIGHUP);
    // Blocked in every thread, so that only sigwait() receives them.
    pthread_sigmask(SIG_BLOCK, &g_stopSignals, NULL);
    // A client that vanishes must not end the server.
    signal(SIGPIPE, SIG_IGN);
}

EServerSignal WaitForServerSignal()
{
    int nSignal = 0;
    while (sigwait(&g_stopSignals, &nSignal) != 0)
    {
    }
    return nSignal == SIGHUP ? EServerSignal::Reopen : EServerSignal::Stop;
}

void RequestServerStop()
{
    // Blocked in every thread, so it waits for sigwait like one from outside.
    kill(getpid(), SIGTERM);
}

void UseBinaryStdout() {}
