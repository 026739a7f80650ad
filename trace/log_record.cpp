// The LOG_WRITE record: its time stamp, its eight fields, and its delivery to the log server.
#include "log_record.h"

#include "cmd_protocol.h"
#include "send_command.h"
#include "trace_message.h"

#include <memory>
#include <string.h>

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

// Text of up to this many bytes (with its terminator) is converted on the stack: a message is
// at most TRACE_MESSAGE_UNITS bytes, and no ANSI byte becomes more than one UTF-16 unit.
static const size_t kLocalUnits = TRACE_MESSAGE_UNITS;

// A UTF-16 copy of ANSI text, on the stack when it fits. Never null: text that cannot be
// converted becomes empty.
class CWideCopy
{
public:
    explicit CWideCopy(const char* szText)
    {
        if (szText == NULL)
        {
            szText = "";
        }
        size_t nBytes = strlen(szText) + 1;
        if (nBytes <= kLocalUnits)
        {
            m_wszLocal[0] = 0;
            if (MultiByteToWideChar(CP_ACP, 0, szText, -1, m_wszLocal, int(kLocalUnits)) <= 0)
            {
                m_wszLocal[0] = 0;
            }
            m_wszText = m_wszLocal;
            return;
        }
        int nUnits = MultiByteToWideChar(CP_ACP, 0, szText, -1, NULL, 0);
        if (nUnits < 0)
        {
            nUnits = 0;
        }
        m_pHeap.reset(new WCHAR[size_t(nUnits) + 1]);
        m_pHeap[0] = 0;
        if (nUnits > 0 && MultiByteToWideChar(CP_ACP, 0, szText, -1, m_pHeap.get(), nUnits) <= 0)
        {
            m_pHeap[0] = 0;
        }
        m_pHeap[nUnits] = 0;
        m_wszText = m_pHeap.get();
    }
    CWideCopy(const CWideCopy&) = delete;
    CWideCopy& operator=(const CWideCopy&) = delete;
    const WCHAR* Get() const { return m_wszText; }

private:
    WCHAR m_wszLocal[kLocalUnits];
    std::unique_ptr<WCHAR[]> m_pHeap;
    const WCHAR* m_wszText = NULL;
};

BOOL WriteLogRecord(int nTime, DWORD dwProcessId, DWORD dwThreadId, int nLevel,
                    const char* szSource, int nLine, const char* szMessage)
{
    CWideCopy wszMessage(szMessage);
    CWideCopy wszSource(szSource);
    return WriteLogRecord(nTime, dwProcessId, dwThreadId, nLevel, wszSource.Get(), nLine,
                          wszMessage.Get());
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
