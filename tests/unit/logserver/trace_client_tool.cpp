// trace_client: sends trace records to a running log server, for the log server's process
// test (logd_process_test.py).
//
//   trace_client records     sends a fixed set of records; prints what each should look like
//   trace_client burst N T   sends N records through LogTrace, line i and message "T i"
//   trace_client raw         sends malformed records, then one good record
//
// Expected records are printed one a line as
//   expect <time|*> <pid> <tid> <level> <source> <line> <message>
// with source and message as hex of their UTF-16LE bytes, so that the check does not trust
// any conversion of this program. The exit status is 0 when every send reported success.
#include "cmd_protocol.h"
#include "dispatch.h"
#include "log_record.h"
#include "module_name.h"
#include "named_pipe_client.h"
#include "send_command.h"
#include "trace_setup.h"
#include "trace_state.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

typedef std::basic_string<WCHAR> CWide;

static CWide Wide(const char* szAscii)
{
    CWide strOut;
    for (; *szAscii != '\0'; szAscii++)
    {
        strOut.push_back(WCHAR(static_cast<unsigned char>(*szAscii)));
    }
    return strOut;
}

static std::string Hex(const CWide& strText)
{
    static const char szDigits[] = "0123456789abcdef";
    std::string strOut;
    for (WCHAR wc : strText)
    {
        unsigned cu = unsigned(wc) & 0xFFFF;
        unsigned abBytes[2] = {cu & 0xFF, cu >> 8};
        for (unsigned b : abBytes)
        {
            strOut.push_back(szDigits[b >> 4]);
            strOut.push_back(szDigits[b & 15]);
        }
    }
    return strOut.empty() ? "-" : strOut;
}

static void Expect(const char* szTime, DWORD dwPid, DWORD dwTid, int nLevel, const CWide& strSource,
                   int nLine, const CWide& strMessage)
{
    printf("expect %s %u %u %d %s %d %s\n", szTime, unsigned(dwPid), unsigned(dwTid), nLevel,
           Hex(strSource).c_str(), nLine, Hex(strMessage).c_str());
}

static bool SendWide(int nTime, DWORD dwPid, DWORD dwTid, int nLevel, const CWide& strSource,
                     int nLine, const CWide& strMessage)
{
    Expect(std::to_string(nTime).c_str(), dwPid, dwTid, nLevel, strSource, nLine, strMessage);
    return WriteLogRecord(nTime, dwPid, dwTid, nLevel, strSource.c_str(), nLine,
                          strMessage.c_str()) != FALSE;
}

static CWide Prefix()
{
    WCHAR wszName[MAX_PATH];
    getModuleBaseNameW(wszName);
    return Wide("[") + CWide(g_wszModuleTag) + Wide("][") + CWide(wszName) + Wide("]");
}

static int SendRecords()
{
    bool bOk = true;
    DWORD dwPid = GetCurrentProcessId();
    DWORD dwTid = GetCurrentThreadId();
    bOk &= SendWide(1553648276, dwPid, dwTid, -4, Wide(".\\Vendrel"), -58,
                    Wide("tab\there\t\tand there"));
    // e-acute, euro sign, a character beyond the BMP (a surrogate pair).
    const WCHAR wszIntl[] = {'G', 'r', 0x00FC, 0x00DF, 'e', ' ', 0x20AC, ' ', 0xD83D, 0xDE00, 0};
    bOk &= SendWide(INT_MIN, 2147483648u, 4294967295u, INT_MIN, Wide(".\\intl"), INT_MAX,
                    CWide(wszIntl));
    CWide strLong;
    for (int i = 0; i < 1500; i++)
    {
        strLong.push_back(i % 10 == 9 ? WCHAR(0x00E9) : WCHAR('a' + i % 26));
    }
    bOk &= SendWide(0, dwPid, dwTid, 4, Wide(".\\long"), 1, strLong);
    bOk &= SendWide(7, 0, 0, 0, CWide(), 0, CWide());
    const WCHAR wszControls[] = {'c', 0x01, 0x1F, '"', '\\', '\n', '\r', 0x7F, 0};
    bOk &= SendWide(8, dwPid, dwTid, 68, Wide(".\\Vendrel"), 9, CWide(wszControls));

    // Through the trace call, with a message in the ANSI code page.
    InitDebugTrace("zeldebug.ini", "qvdbg20.dll", 0, "Vendrel", FALSE);
    const WCHAR wszUmlaut[] = {'[', 'V', 'e', 'n', 'd',    'r',    'e', 'l',
                               ']', ' ', 'G', 'r', 0x00FC, 0x00DF, 'e', 0};
    char szAnsi[64] = {0};
    WideCharToMultiByte(CP_ACP, 0, wszUmlaut, -1, szAnsi, sizeof(szAnsi), NULL, NULL);
    Expect("*", dwPid, dwTid, 4, Wide(".\\Vendrel"), 58,
           Prefix() + CWide(wszUmlaut) + Wide(" -1\t|"));
    LogTrace(4, ".\\Vendrel", 58, "%s %d\t|", szAnsi, -1);
    bOk &= g_bTraceEnabled != FALSE;
    std::string strHuge(6000, 'z');
    CWide strCut = Prefix();
    strCut.resize(4095, WCHAR('z'));
    Expect("*", dwPid, dwTid, 4, Wide(".\\Vendrel"), 59, strCut);
    LogTrace(4, ".\\Vendrel", 59, "%s", strHuge.c_str());
    bOk &= g_bTraceEnabled != FALSE;
    return bOk ? 0 : 1;
}

static int SendBurst(int nCount, const char* szTag)
{
    bool bOk = true;
    InitDebugTrace("zeldebug.ini", "qvdbg20.dll", 0, "Vendrel", FALSE);
    for (int i = 0; i < nCount; i++)
    {
        LogTrace(4, ".\\Vendrel", i, "%s %d", szTag, i);
        bOk &= g_bTraceEnabled != FALSE;
    }
    return bOk ? 0 : 1;
}

// Writes raw bytes on a connection of their own.
static bool SendRaw(const CWide& strUnits, bool bWithNul)
{
    CNamedPipeClient client;
    if (!client.Connect(LOG_SERVER_PIPE_NAME))
    {
        return false;
    }
    DWORD dwCount = DWORD(strUnits.size() * 2 + (bWithNul ? 2 : 0));
    CWide strData = strUnits;
    strData.push_back(0);
    bool bOk = client.Write(strData.c_str(), &dwCount) != FALSE;
    client.Close();
    return bOk;
}

static int SendMalformed()
{
    bool bOk = true;
    bOk &= SendRaw(Wide("LOG_WRITE\tonly\tthree"), true);
    bOk &= SendRaw(Wide("LOG_WRITE\tx\t1\t2\t3\ts\t4\tbad time"), true);
    bOk &= SendRaw(Wide("LOG_WRITE\t1\t2\t3\t4\ts\t5\tnever ended"), false);
    bOk &= SendWide(5, GetCurrentProcessId(), GetCurrentThreadId(), 4, Wide(".\\after"), 1,
                    Wide("still served"));
    return bOk ? 0 : 1;
}

int main(int argc, char** argv)
{
    if (argc >= 2 && strcmp(argv[1], "records") == 0)
    {
        return SendRecords();
    }
    if (argc >= 4 && strcmp(argv[1], "burst") == 0)
    {
        return SendBurst(atoi(argv[2]), argv[3]);
    }
    if (argc >= 2 && strcmp(argv[1], "raw") == 0)
    {
        return SendMalformed();
    }
    fprintf(stderr, "usage: trace_client records | burst N TAG | raw\n");
    return 2;
}
