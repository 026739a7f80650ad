// trace_client: sends trace records to a running log server, for the log server's process
// test (logd_process_test.py).
//
//   trace_client records     sends a fixed set of records; prints what each should look like
//   trace_client burst N T   sends N records through LogTrace, line i and message "T i"
//   trace_client raw         sends malformed records, then one good record
//   trace_client controls    sends records whose texts hold every kind of control character,
//                            lone surrogates and cut units; prints "lines N", the lines due
//   trace_client fill N U T  sends N records on one connection, message "T i " padded to U
//                            units (a record may not be cut between output files)
//   trace_client hold N [half]
//                            holds N connections open (the first with half a record), prints
//                            "held N", then obeys lines on standard input: "probe" prints
//                            "closed K of M" (the connections the server has closed), "close K"
//                            closes K of them, "quit" ends
//   trace_client try         one attempt to connect, no waiting: prints "connected", "busy"
//                            (every instance taken) or "error N"
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
#include <vector>

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

// A record's bytes as the pipe carries them: UTF-16LE, with its NUL unit when bNul.
static std::string WireRecord(const CWide& strUnits, bool bNul)
{
    std::string strBytes;
    for (WCHAR wc : strUnits)
    {
        unsigned cu = unsigned(wc) & 0xFFFF;
        strBytes.push_back(char(cu & 0xFF));
        strBytes.push_back(char(cu >> 8));
    }
    if (bNul)
    {
        strBytes.append(2, '\0');
    }
    return strBytes;
}

// Writes bytes as they are, on a connection of their own.
static bool SendBytes(const std::string& strBytes)
{
    CNamedPipeClient client;
    if (!client.Connect(LOG_SERVER_PIPE_NAME))
    {
        return false;
    }
    DWORD dwCount = DWORD(strBytes.size());
    bool bOk = client.Write(strBytes.data(), &dwCount) != FALSE;
    client.Close();
    return bOk;
}

static int SendControls()
{
    bool bOk = true;
    const WCHAR awC0[] = {'c', '0', 0x01, 0x1B, '[', '3', '1', 'm', 0x1F, 0};
    const WCHAR awBreaks[] = {'a', '\r', '\n', 'b', '\n', 'c', '\r', 0};
    const WCHAR awDel[] = {'d', 'e', 'l', 0x7F, 0};
    const WCHAR awC1[] = {'c', '1', 0x80, 0x85, 0x9B, '3', '1', 'm', 0x9F, 0};
    const WCHAR awSeparators[] = {'l', 0x2028, 'p', 0x2029, 0};
    const WCHAR awSurrogates[] = {'s', 0xD800, 'x', 0xDC00, 0xDBFF, 0};
    const WCHAR* apwMessages[] = {awC0, awBreaks, awDel, awC1, awSeparators, awSurrogates};
    int nLines = 0;
    for (const WCHAR* pwMessage : apwMessages)
    {
        // In the source field too, which the text form shows as well.
        bOk &= WriteLogRecord(1, 2, 3, 4, pwMessage, 5, pwMessage) != FALSE;
        nLines++;
    }
    // Records that are no records: their raw text is shown, escaped alike.
    CWide strBroken = Wide("LOG_WRITE\tbroken\t") + CWide(awC1) + CWide(awSurrogates);
    bOk &= SendBytes(WireRecord(strBroken, true));
    nLines++;
    // Ended without its NUL unit, and ended inside a unit.
    bOk &= SendBytes(WireRecord(CWide(awSeparators) + CWide(awBreaks), false));
    nLines++;
    bOk &= SendBytes(WireRecord(CWide(awC0), false) + "A");
    nLines++;
    printf("lines %d\n", nLines);
    return bOk ? 0 : 1;
}

static int SendFill(int nCount, int nUnits, const char* szTag)
{
    std::string strBytes;
    for (int i = 0; i < nCount; i++)
    {
        CWide strMessage = Wide((std::string(szTag) + " " + std::to_string(i) + " ").c_str());
        if (int(strMessage.size()) < nUnits)
        {
            strMessage.resize(size_t(nUnits), WCHAR('f'));
        }
        CWide strRecord = Wide("LOG_WRITE\t1\t2\t3\t4\t.\\fill\t") +
                          Wide(std::to_string(i).c_str()) + Wide("\t") + strMessage;
        strBytes += WireRecord(strRecord, true);
    }
    return SendBytes(strBytes) ? 0 : 1;
}

static std::basic_string<WCHAR> PipePath()
{
    return Wide("\\\\.\\pipe\\") + CWide(LOG_SERVER_PIPE_NAME);
}

// Opens the log pipe as the trace client does: waiting for a free instance when all are busy.
static HANDLE OpenPipe()
{
    CWide strPath = PipePath();
    for (;;)
    {
        HANDLE hPipe = CreateFileW(strPath.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (hPipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY ||
            !WaitNamedPipeW(strPath.c_str(), 20000))
        {
            return hPipe;
        }
    }
}

static int HoldConnections(int nCount, bool bHalf)
{
    std::vector<HANDLE> pipes;
    for (int i = 0; i < nCount; i++)
    {
        HANDLE hPipe = OpenPipe();
        if (hPipe == INVALID_HANDLE_VALUE)
        {
            printf("failed at %d, err=%u\n", i, unsigned(GetLastError()));
            fflush(stdout);
            return 1;
        }
        pipes.push_back(hPipe);
    }
    if (bHalf && !pipes.empty())
    {
        std::string strHalf =
            WireRecord(Wide("LOG_WRITE\t1\t2\t3\t4\thalf\t5\tnever ended"), false);
        DWORD dwWritten = 0;
        WriteFile(pipes[0], strHalf.data(), DWORD(strHalf.size()), &dwWritten, NULL);
    }
    printf("held %d\n", nCount);
    fflush(stdout);
    char szLine[256];
    while (fgets(szLine, sizeof(szLine), stdin) != NULL)
    {
        if (strncmp(szLine, "probe", 5) == 0)
        {
            // A write of nothing fails once the server's end is gone, and adds nothing while
            // it is there.
            int nClosed = 0;
            for (HANDLE hPipe : pipes)
            {
                DWORD dwWritten = 0;
                nClosed += WriteFile(hPipe, "", 0, &dwWritten, NULL) ? 0 : 1;
            }
            printf("closed %d of %d\n", nClosed, int(pipes.size()));
        }
        else if (strncmp(szLine, "close ", 6) == 0)
        {
            for (int i = atoi(szLine + 6); i > 0 && !pipes.empty(); i--)
            {
                CloseHandle(pipes.back());
                pipes.pop_back();
            }
            printf("ok\n");
        }
        else
        {
            break;
        }
        fflush(stdout);
    }
    for (HANDLE hPipe : pipes)
    {
        CloseHandle(hPipe);
    }
    return 0;
}

static int TryConnect()
{
    CWide strPath = PipePath();
    HANDLE hPipe = CreateFileW(strPath.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hPipe != INVALID_HANDLE_VALUE)
    {
        printf("connected\n");
        CloseHandle(hPipe);
        return 0;
    }
    DWORD dwError = GetLastError();
    if (dwError == ERROR_PIPE_BUSY)
    {
        printf("busy\n");
    }
    else
    {
        printf("error %u\n", unsigned(dwError));
    }
    return 0;
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
    if (argc >= 2 && strcmp(argv[1], "controls") == 0)
    {
        return SendControls();
    }
    if (argc >= 5 && strcmp(argv[1], "fill") == 0)
    {
        return SendFill(atoi(argv[2]), atoi(argv[3]), argv[4]);
    }
    if (argc >= 3 && strcmp(argv[1], "hold") == 0)
    {
        return HoldConnections(atoi(argv[2]), argc >= 4 && strcmp(argv[3], "half") == 0);
    }
    if (argc >= 2 && strcmp(argv[1], "try") == 0)
    {
        return TryConnect();
    }
    fprintf(stderr, "usage: trace_client records | burst N TAG | raw | controls | fill N U T | "
                    "hold N [half] | try\n");
    return 2;
}
