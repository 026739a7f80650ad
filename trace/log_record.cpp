#include "log_record.h"

#include "cmd_protocol.h"
#include "send_command.h"

#include <memory>

// 100 ns intervals between 1601-01-01 and 1970-01-01.
static const ULONGLONG kUnixEpochIn100ns = 116444736000000000ULL;

int CurrentUnixTime()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULONGLONG ullTicks = (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    long long llSeconds = (long long)(ullTicks - kUnixEpochIn100ns) / 10000000LL;
    return int(uint32_t(llSeconds));
}

// A new UTF-16 copy of ANSI text. Never null: text that cannot be converted becomes empty.
static std::unique_ptr<WCHAR[]> NewWideCopy(const char* szText)
{
    if (szText == NULL)
    {
        szText = "";
    }
    int nUnits = MultiByteToWideChar(CP_ACP, 0, szText, -1, NULL, 0);
    if (nUnits < 0)
    {
        nUnits = 0;
    }
    std::unique_ptr<WCHAR[]> wszCopy(new WCHAR[size_t(nUnits) + 1]);
    wszCopy[0] = 0;
    if (nUnits > 0 && MultiByteToWideChar(CP_ACP, 0, szText, -1, wszCopy.get(), nUnits) <= 0)
    {
        wszCopy[0] = 0;
    }
    wszCopy[nUnits] = 0;
    return wszCopy;
}

BOOL WriteLogRecord(int nTime, DWORD dwProcessId, DWORD dwThreadId, int nLevel,
                    const char* szSource, int nLine, const char* szMessage)
{
    std::unique_ptr<WCHAR[]> wszMessage = NewWideCopy(szMessage);
    std::unique_ptr<WCHAR[]> wszSource = NewWideCopy(szSource);
    return WriteLogRecord(nTime, dwProcessId, dwThreadId, nLevel, wszSource.get(), nLine,
                          wszMessage.get());
}

BOOL WriteLogRecord(int nTime, DWORD dwProcessId, DWORD dwThreadId, int nLevel,
                    const WCHAR* wszSource, int nLine, const WCHAR* wszMessage)
{
    CCmdProtocol cmd;
    cmd.AddText(VTEXT("LOG_WRITE"), -1)
        .AddInt(nTime)
        .AddUInt(dwProcessId)
        .AddUInt(dwThreadId)
        .AddInt(nLevel)
        .AddText(wszSource, -1)
        .AddInt(nLine)
        .AddText(wszMessage, -1);
    return SendLogCommand(cmd.GetCommand());
}
