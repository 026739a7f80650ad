// One client connection to a named pipe, opened for writing in message mode.
#pragma once

#include "platform.h"

class CNamedPipeClient
{
public:
    CNamedPipeClient();
    ~CNamedPipeClient();
    CNamedPipeClient(const CNamedPipeClient&) = delete;
    CNamedPipeClient& operator=(const CNamedPipeClient&) = delete;

    // Connects to \\.\pipe\<wszName>, waiting for a free instance when all are busy.
    BOOL Connect(const WCHAR* wszName);
    // Writes *pdwCount bytes in chunks of at most 1024 bytes; on success *pdwCount holds the
    // bytes written, on failure it is left as it was.
    BOOL Write(const void* pData, DWORD* pdwCount);
    void Close();

private:
    HANDLE m_hPipe;
    WCHAR m_szPipeName[MAX_PATH];
};
