#include "pipe_faults.h"

#include <windows.h>

static const wchar_t kLogPipePath[] = L"\\\\.\\pipe\\Log_ServerNamePipe";

struct CBusyLogPipe::CImpl
{
    HANDLE hServer = INVALID_HANDLE_VALUE;
    HANDLE hOccupant = INVALID_HANDLE_VALUE;
};

CBusyLogPipe::CBusyLogPipe() : m_pImpl(new CImpl) {}

CBusyLogPipe::~CBusyLogPipe()
{
    if (m_pImpl->hOccupant != INVALID_HANDLE_VALUE)
    {
        CloseHandle(m_pImpl->hOccupant);
    }
    if (m_pImpl->hServer != INVALID_HANDLE_VALUE)
    {
        CloseHandle(m_pImpl->hServer);
    }
}

bool CBusyLogPipe::Occupy()
{
    // One instance only, and a client of our own on it.
    m_pImpl->hServer = CreateNamedPipeW(kLogPipePath, PIPE_ACCESS_INBOUND,
                                        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0,
                                        65536, 0, NULL);
    if (m_pImpl->hServer == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    m_pImpl->hOccupant = CreateFileW(kLogPipePath, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (m_pImpl->hOccupant == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    BOOL bConnected = ConnectNamedPipe(m_pImpl->hServer, NULL);
    if (!bConnected && GetLastError() != ERROR_PIPE_CONNECTED)
    {
        return false;
    }
    // Whether a further client now finds the pipe busy is what this build can show.
    HANDLE hProbe = CreateFileW(kLogPipePath, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hProbe != INVALID_HANDLE_VALUE)
    {
        CloseHandle(hProbe);
        return false;
    }
    return GetLastError() == ERROR_PIPE_BUSY;
}

std::string CBusyLogPipe::ReleaseAndReceive()
{
    CloseHandle(m_pImpl->hOccupant);
    m_pImpl->hOccupant = INVALID_HANDLE_VALUE;
    DisconnectNamedPipe(m_pImpl->hServer);
    BOOL bConnected = ConnectNamedPipe(m_pImpl->hServer, NULL);
    if (!bConnected && GetLastError() != ERROR_PIPE_CONNECTED && GetLastError() != ERROR_NO_DATA)
    {
        return std::string();
    }
    std::string strData;
    char abBuffer[4096];
    for (;;)
    {
        DWORD dwRead = 0;
        BOOL bOk = ReadFile(m_pImpl->hServer, abBuffer, sizeof(abBuffer), &dwRead, NULL);
        if (!bOk && GetLastError() != ERROR_MORE_DATA)
        {
            break;
        }
        strData.append(abBuffer, dwRead);
    }
    DisconnectNamedPipe(m_pImpl->hServer);
    return strData;
}

struct CRefusingLogPipe::CImpl
{
    HANDLE hServer = INVALID_HANDLE_VALUE;
};

CRefusingLogPipe::CRefusingLogPipe() : m_pImpl(new CImpl) {}

CRefusingLogPipe::~CRefusingLogPipe()
{
    if (m_pImpl->hServer != INVALID_HANDLE_VALUE)
    {
        CloseHandle(m_pImpl->hServer);
    }
}

bool CRefusingLogPipe::Start()
{
    // A pipe that only ever sends: a client that opens it for writing is refused.
    m_pImpl->hServer = CreateNamedPipeW(kLogPipePath, PIPE_ACCESS_OUTBOUND,
                                        PIPE_TYPE_MESSAGE | PIPE_WAIT, 1, 65536, 0, 0, NULL);
    return m_pImpl->hServer != INVALID_HANDLE_VALUE;
}
