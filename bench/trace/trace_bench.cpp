// What tracing costs when the log server is missing, and when it is there.
//
// Build and run by hand (native presets):
//   cmake --preset release && cmake --build build/release --target trace_bench
//   build/release/bin/trace_bench [N]
//
// With no log server, N trace calls must make no more than one failed connection attempt per
// gate cycle (one after each 5000 ms): the table shows the attempts made, the bound, and the
// time per call, with the real clock and with a clock that moves 1 ms per call.
#include "capture_pipe_dir.h"
#include "named_pipe_client.h"
#include "send_command.h"
#include "system_calls.h"
#include "trace.h"
#include "trace_capture.h"
#include "trace_gate.h"
#include "trace_state.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

static DWORD g_dwSimulatedTick = 0;
// Pipe opens made by the trace client, counted by the CreateFileW that the bench puts in.
static long g_nPipeOpenAttempts = 0;

static HANDLE WINAPI CountingCreateFileW(LPCWSTR wszName, DWORD dwAccess, DWORD dwShare,
                                         LPSECURITY_ATTRIBUTES pSecurity, DWORD dwDisposition,
                                         DWORD dwFlags, HANDLE hTemplate)
{
    g_nPipeOpenAttempts++;
    return CreateFileW(wszName, dwAccess, dwShare, pSecurity, dwDisposition, dwFlags, hTemplate);
}

// A clock that the loop moves on by 1 ms per call.
static DWORD WINAPI SimulatedTick()
{
    return g_dwSimulatedTick;
}

static double NowSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct CRow
{
    const char* szCase;
    long nCalls;
    long nAttempts;
    long nBound;
    double dSeconds;
};

static void PrintRow(const CRow& row)
{
    printf("%-34s %10ld %9ld %9ld %12.1f  %s\n", row.szCase, row.nCalls, row.nAttempts, row.nBound,
           row.dSeconds * 1e9 / double(row.nCalls),
           row.nBound < 0 || row.nAttempts <= row.nBound ? "ok" : "OVER BOUND");
}

static CRow MissingServerRealClock(long nCalls)
{
    ResetTraceState();
    long nBefore = g_nPipeOpenAttempts;
    double dStart = NowSeconds();
    for (long i = 0; i < nCalls; i++)
    {
        LogTrace(4, ".\\Vendrel", 1, "[Vendrel] bench %ld", i);
    }
    double dSeconds = NowSeconds() - dStart;
    long nBound = 1 + long(dSeconds * 1000.0 / 5000.0);
    return {"no server, real clock", nCalls, g_nPipeOpenAttempts - nBefore, nBound, dSeconds};
}

static CRow MissingServerSimulatedClock(long nCalls)
{
    ResetTraceState();
    SetSystemCall("GetTickCount", (SYSTEM_CALL_PTR)SimulatedTick);
    g_dwSimulatedTick = 0;
    long nBefore = g_nPipeOpenAttempts;
    double dStart = NowSeconds();
    for (long i = 0; i < nCalls; i++)
    {
        g_dwSimulatedTick++;
        LogTrace(4, ".\\Vendrel", 1, "[Vendrel] bench %ld", i);
    }
    double dSeconds = NowSeconds() - dStart;
    SetSystemCall("GetTickCount", NULL);
    long nBound = 1 + long(g_dwSimulatedTick / 5000);
    return {"no server, 1 ms per call", nCalls, g_nPipeOpenAttempts - nBefore, nBound, dSeconds};
}

static CRow OneFailedAttempt(long nCalls)
{
    long nBefore = g_nPipeOpenAttempts;
    double dStart = NowSeconds();
    for (long i = 0; i < nCalls; i++)
    {
        CNamedPipeClient client;
        client.Connect(LOG_SERVER_PIPE_NAME);
    }
    double dSeconds = NowSeconds() - dStart;
    return {"one failed connection attempt", nCalls, g_nPipeOpenAttempts - nBefore, -1, dSeconds};
}

static CRow DeliveredRecords(long nCalls)
{
    ResetTraceState();
    CTraceCapture capture;
    long nBefore = g_nPipeOpenAttempts;
    double dStart = NowSeconds();
    for (long i = 0; i < nCalls; i++)
    {
        LogTrace(4, ".\\Vendrel", 1, "[Vendrel] bench %ld", i);
    }
    capture.Records();
    double dSeconds = NowSeconds() - dStart;
    return {"server present, delivered", nCalls, g_nPipeOpenAttempts - nBefore, -1, dSeconds};
}

int main(int argc, char** argv)
{
    long nCalls = argc > 1 ? atol(argv[1]) : 1000000;
    if (nCalls <= 0)
    {
        nCalls = 1000000;
    }
    SetSystemCall("CreateFileW", (SYSTEM_CALL_PTR)CountingCreateFileW);
    CPipeDirectoryScope noServer;
    EnterPipeDirectory(&noServer);
    printf("%-34s %10s %9s %9s %12s\n", "case", "calls", "attempts", "bound", "ns/call");
    PrintRow(MissingServerRealClock(nCalls));
    PrintRow(MissingServerSimulatedClock(nCalls));
    PrintRow(OneFailedAttempt(10000));
    LeavePipeDirectory(&noServer);
    PrintRow(DeliveredRecords(nCalls < 20000 ? nCalls : 20000));
    return 0;
}
