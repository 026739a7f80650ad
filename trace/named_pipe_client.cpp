// The client end of a named pipe: connecting, waiting for a busy server, writing in chunks.
#include "named_pipe_client.h"

#include "system_calls.h"

#include <string.h>

static const DWORD kChunkBytes = 1024;
static const DWORD kBusyWaitMs = 20000;
// A write refused for lack of system resources is tried again this often, this far apart,
// so that a resource shortage cannot hold the caller forever.
static const int kMaxResourceRetries = 100;
static const DWORD kResourceRetryPauseMs = 1;

CNamedPipeClient::CNamedPipeClient() : m_hPipe(NULL)
{
    memset(m_szPipeName, 0, sizeof(m_szPipeName));
}

CNamedPipeClient::~CNamedPipeClient()
{
    Close();
}

// m_szPipeName = "\\.\pipe\" + wszName, cut to fit MAX_PATH units with the terminator.
static void FormPipeName(const WCHAR* wszName, WCHAR* wszPipeName)
{
    static const WCHAR wszPrefix[] = VTEXT("\\\\.\\pipe\\");
    size_t nPos = 0;
    for (size_t i = 0; wszPrefix[i] != 0 && nPos + 1 < MAX_PATH; i++)
    {
        wszPipeName[nPos++] = wszPrefix[i];
    }
    for (size_t i = 0; wszName != NULL && wszName[i] != 0 && nPos + 1 < MAX_PATH; i++)
    {
        wszPipeName[nPos++] = wszName[i];
    }
    wszPipeName[nPos] = 0;
}

BOOL CNamedPipeClient::Connect(const WCHAR* wszName)
{
    FormPipeName(wszName, m_szPipeName);
    for (;;)
    {
        m_hPipe = osCreateFileW(m_szPipeName, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (m_hPipe != INVALID_HANDLE_VALUE)
        {
            break;
        }
        if (GetLastError() != ERROR_PIPE_BUSY)
        {
            return FALSE;
        }
        if (!WaitNamedPipeW(m_szPipeName, kBusyWaitMs))
        {
            return FALSE;
        }
    }
    DWORD dwMode = PIPE_READMODE_MESSAGE;
    return SetNamedPipeHandleState(m_hPipe, &dwMode, NULL, NULL) ? TRUE : FALSE;
}

// One chunk through the system's write, repeated while the system lacks resources for it.
static BOOL WriteChunk(HANDLE hPipe, const BYTE* pChunk, DWORD dwChunk, DWORD* pdwWritten)
{
    for (int nTry = 0;; nTry++)
    {
        *pdwWritten = 0;
        if (osWriteFile(hPipe, pChunk, dwChunk, pdwWritten, NULL))
        {
            return TRUE;
        }
        if (GetLastError() != ERROR_NO_SYSTEM_RESOURCES || nTry >= kMaxResourceRetries)
        {
            return FALSE;
        }
        Sleep(kResourceRetryPauseMs);
    }
}

BOOL CNamedPipeClient::Write(const void* pData, DWORD* pdwCount)
{
    BYTE abStaging[kChunkBytes];
    const BYTE* pNext = static_cast<const BYTE*>(pData);
    DWORD dwRemaining = *pdwCount;
    DWORD dwTotal = 0;
    while (dwRemaining > 0)
    {
        DWORD dwChunk = dwRemaining < kChunkBytes ? dwRemaining : kChunkBytes;
        memcpy(abStaging, pNext, dwChunk);
        DWORD dwWritten = 0;
        if (!WriteChunk(m_hPipe, abStaging, dwChunk, &dwWritten))
        {
            return FALSE;
        }
        if (dwWritten == 0 || dwWritten > dwChunk)
        {
            // Neither "nothing" nor "more than given" lets the loop advance soundly.
            SetLastError(ERROR_NO_DATA);
            return FALSE;
        }
        dwTotal += dwWritten;
        pNext += dwWritten;
        dwRemaining -= dwWritten;
    }
    *pdwCount = dwTotal;
    return TRUE;
}

void CNamedPipeClient::Close()
{
    if (m_hPipe != NULL && m_hPipe != INVALID_HANDLE_VALUE)
    {
        CloseHandle(m_hPipe);
    }
    m_hPipe = NULL;
}
