// One client connection to a named pipe, opened for writing in message mode.
#pragma once

#include "platform.h"

typedef BOOL(WINAPI* PFN_PIPEWRITEFILE)(HANDLE hFile, LPCVOID pBuffer, DWORD dwToWrite,
                                        LPDWORD pdwWritten, LPOVERLAPPED pOverlapped);

// Every chunk that Write hands to the system goes through this hook: WriteFile. Tests put in
// their own to see the chunks or to make writes fail.
extern PFN_PIPEWRITEFILE g_pfnPipeWriteFile;
// Open attempts made by Connect in this process (CreateFileW calls); cheap, and what shows
// that the trace gate holds back connections to a missing log server.
extern long g_nPipeOpenAttempts;

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
