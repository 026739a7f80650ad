// What the trace tests share: a clean trace state per test, a clock the test sets, and a pipe
// write hook that notes every chunk and can be told to fail.
#pragma once

#include "dispatch.h"
#include "named_pipe_client.h"
#include "system_calls.h"
#include "trace_gate.h"
#include "trace_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The clock of the trace gate during a test.
extern DWORD g_dwFakeTick;
DWORD WINAPI FakeTickCount();

// Pipe opens (CreateFileW calls) made while CountingCreateFileW is installed; what shows that
// the trace gate holds back connections to a missing log server.
extern long g_nPipeOpenAttempts;
HANDLE WINAPI CountingCreateFileW(LPCWSTR wszName, DWORD dwAccess, DWORD dwShare,
                                  LPSECURITY_ATTRIBUTES pSecurity, DWORD dwDisposition,
                                  DWORD dwFlags, HANDLE hTemplate);

// What the write hook saw and does.
struct CWriteScript
{
    std::vector<std::string> chunks; // the bytes of every WriteFile call, in order
    int nFailuresLeft = 0;           // calls still to fail before writes go through
    DWORD dwFailError = 0;           // the error those calls fail with
    bool bForward = true;            // pass succeeding calls on to WriteFile
};
extern CWriteScript g_writeScript;
BOOL WINAPI ScriptedWriteFile(HANDLE hFile, LPCVOID pBuffer, DWORD dwToWrite, LPDWORD pdwWritten,
                              LPOVERLAPPED pOverlapped);

class CTraceTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
};

// The executable's file name as the trace client puts it into every message.
std::string ExeBaseName();
// UTF-16 text of a test literal in the build's WCHAR.
std::basic_string<WCHAR> Wide(const char* szAscii);
// Calls the va_list forms the way LogTrace and LogTraceW do.
void CallDispatchTrace(int nLevel, const char* szSource, int nLine, BOOL bToPipe,
                       const char* szFormat, ...);
void CallDispatchTraceW(int nLevel, const WCHAR* wszSource, int nLine, BOOL bToPipe,
                        const WCHAR* wszFormat, ...);
