#include "trace_test_env.h"

#include "module_name.h"

#include <stdarg.h>

DWORD g_dwFakeTick = 0;
CWriteScript g_writeScript;
long g_nPipeOpenAttempts = 0;

DWORD WINAPI FakeTickCount()
{
    return g_dwFakeTick;
}

HANDLE WINAPI CountingCreateFileW(LPCWSTR wszName, DWORD dwAccess, DWORD dwShare,
                                  LPSECURITY_ATTRIBUTES pSecurity, DWORD dwDisposition,
                                  DWORD dwFlags, HANDLE hTemplate)
{
    g_nPipeOpenAttempts++;
    return CreateFileW(wszName, dwAccess, dwShare, pSecurity, dwDisposition, dwFlags, hTemplate);
}

BOOL WINAPI ScriptedWriteFile(HANDLE hFile, LPCVOID pBuffer, DWORD dwToWrite, LPDWORD pdwWritten,
                              LPOVERLAPPED pOverlapped)
{
    g_writeScript.chunks.push_back(
        std::string(static_cast<const char*>(pBuffer), static_cast<size_t>(dwToWrite)));
    if (g_writeScript.nFailuresLeft > 0)
    {
        g_writeScript.nFailuresLeft--;
        *pdwWritten = 0;
        SetLastError(g_writeScript.dwFailError);
        return FALSE;
    }
    if (!g_writeScript.bForward)
    {
        *pdwWritten = dwToWrite;
        return TRUE;
    }
    return WriteFile(hFile, pBuffer, dwToWrite, pdwWritten, pOverlapped);
}

void CTraceTest::SetUp()
{
    ResetTraceState();
    g_dwFakeTick = 1000000;
    SetSystemCall("GetTickCount", (SYSTEM_CALL_PTR)FakeTickCount);
    g_writeScript = CWriteScript();
    SetSystemCall("WriteFile", (SYSTEM_CALL_PTR)ScriptedWriteFile);
}

void CTraceTest::TearDown()
{
    ResetSystemCalls();
    ResetTraceState();
}

std::string ExeBaseName()
{
    char szName[MAX_PATH];
    getModuleBaseName(szName);
    return szName;
}

std::basic_string<WCHAR> Wide(const char* szAscii)
{
    std::basic_string<WCHAR> strOut;
    for (; *szAscii != '\0'; szAscii++)
    {
        strOut.push_back(WCHAR(static_cast<unsigned char>(*szAscii)));
    }
    return strOut;
}

void CallDispatchTrace(int nLevel, const char* szSource, int nLine, BOOL bToPipe,
                       const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    DispatchTrace(nLevel, szSource, nLine, szFormat, args, bToPipe);
    va_end(args);
}

void CallDispatchTraceW(int nLevel, const WCHAR* wszSource, int nLine, BOOL bToPipe,
                        const WCHAR* wszFormat, ...)
{
    va_list args;
    va_start(args, wszFormat);
    DispatchTraceW(nLevel, wszSource, nLine, wszFormat, args, bToPipe);
    va_end(args);
}
