// Delivering one command text to the log server, and the pipe client's reports of a failure.
#include "send_command.h"

#include "library_route.h"
#include "named_pipe_client.h"
#include "trace.h"
#include "trace_state.h"

// The pipe client's own reports: their source tag and the lines they carry.
#define REPORT_SOURCE VTEXT(".\\logcl_Command")
enum
{
    kLineNoServer = 93,
    kLineConnectFailed = 98,
    kLineSendFailed = 105,
};

static size_t CommandUnits(const WCHAR* wszCommand)
{
    size_t nUnits = 0;
    while (wszCommand[nUnits] != 0)
    {
        nUnits++;
    }
    return nUnits;
}

BOOL SendLogCommand(const WCHAR* wszCommand)
{
    CNamedPipeClient client;
    if (!client.Connect(LOG_SERVER_PIPE_NAME))
    {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_FILE_NOT_FOUND)
        {
            if (!g_bServerHintShown)
            {
                LogTraceW(kLevelPipeReport, REPORT_SOURCE, kLineNoServer,
                          VTEXT("Need to Start LogServer for turn on debug log."), dwError);
                g_bServerHintShown = TRUE;
            }
        }
        else
        {
            LogTraceW(kLevelPipeReport, REPORT_SOURCE, kLineConnectFailed,
                      VTEXT("Initial pipe client failed! err=%d"), dwError);
        }
        client.Close();
        return FALSE;
    }
    DWORD dwCount = DWORD(2 * CommandUnits(wszCommand) + 2);
    if (!client.Write(wszCommand, &dwCount))
    {
        LogTraceW(kLevelPipeReport, REPORT_SOURCE, kLineSendFailed,
                  VTEXT("pipe send failed!. err=%d"), GetLastError());
        client.Close();
        return FALSE;
    }
    client.Close();
    return TRUE;
}
