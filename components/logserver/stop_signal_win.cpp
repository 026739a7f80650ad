#include "stop_signal.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

static HANDLE g_hStopEvent = NULL;

static BOOL WINAPI OnConsoleControl(DWORD dwCtrlType)
{
    switch (dwCtrlType)
    {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        SetEvent(g_hStopEvent);
        return TRUE;
    default:
        return FALSE;
    }
}

void InstallStopSignalHandlers()
{
    g_hStopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

EServerSignal WaitForServerSignal()
{
    WaitForSingleObject(g_hStopEvent, INFINITE);
    return EServerSignal::Stop;
}

void RequestServerStop()
{
    SetEvent(g_hStopEvent);
}

void UseBinaryStdout()
{
    _setmode(_fileno(stdout), _O_BINARY);
}
