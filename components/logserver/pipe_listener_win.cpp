// The log pipe as a Windows named pipe in message mode with as many instances as clients.
#include "pipe_listener.h"

#include "pipe_instance_win.h"
#include "pipe_security_win.h"

#include <atomic>

struct CPipeListener::CImpl
{
    std::wstring m_wstrPath;
    std::string m_strPath;
    HANDLE m_hListening = INVALID_HANDLE_VALUE;
    std::atomic<bool> m_bStopped{false};
};

namespace
{
const DWORD kInBufferBytes = 64 * 1024;

// Waits for an overlapped operation begun on hPipe; false when it failed.
bool FinishOverlapped(HANDLE hPipe, OVERLAPPED* pOverlapped, DWORD* pdwBytes)
{
    return GetOverlappedResult(hPipe, pOverlapped, pdwBytes, TRUE) != FALSE;
}

// A connection read one blocking read after the other, for Accept's callers.
class CNamedPipeConnection : public CPipeConnection
{
public:
    explicit CNamedPipeConnection(HANDLE hPipe) : m_hPipe(hPipe)
    {
        m_hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    }
    ~CNamedPipeConnection() override
    {
        DisconnectNamedPipe(m_hPipe);
        CloseHandle(m_hPipe);
        if (m_hEvent != NULL)
        {
            CloseHandle(m_hEvent);
        }
    }

    size_t Read(void* pBuffer, size_t nSize) override
    {
        while (m_hEvent != NULL)
        {
            OVERLAPPED overlapped = {};
            overlapped.hEvent = m_hEvent;
            DWORD dwRead = 0;
            BOOL bOk = ReadFile(m_hPipe, pBuffer, DWORD(nSize), NULL, &overlapped);
            if (bOk || GetLastError() == ERROR_IO_PENDING)
            {
                bOk = FinishOverlapped(m_hPipe, &overlapped, &dwRead);
            }
            if (!bOk && GetLastError() != ERROR_MORE_DATA)
            {
                return 0; // the client has closed, or the pipe failed
            }
            if (dwRead > 0)
            {
                return dwRead;
            }
            // An empty message: nothing to hand on, the client may still write.
        }
        return 0;
    }

private:
    HANDLE m_hPipe;
    HANDLE m_hEvent;
};
} // namespace

HANDLE CreateLogPipeInstance(const std::wstring& wstrPath, bool bFirst)
{
    DWORD dwOpenMode =
        PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | (bFirst ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    return CreateNamedPipeW(wstrPath.c_str(), dwOpenMode,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, 0, kInBufferBytes, 0, LogPipeSecurity());
}

bool WidenPipePath(const std::string& strPath, std::wstring* pwstrPath)
{
    int nUnits = MultiByteToWideChar(CP_ACP, 0, strPath.c_str(), -1, NULL, 0);
    if (nUnits <= 0)
    {
        return false;
    }
    pwstrPath->assign(size_t(nUnits), L'\0');
    MultiByteToWideChar(CP_ACP, 0, strPath.c_str(), -1, &(*pwstrPath)[0], nUnits);
    pwstrPath->resize(size_t(nUnits - 1));
    return true;
}

CPipeListener::CPipeListener() : m_pImpl(new CImpl) {}

CPipeListener::~CPipeListener()
{
    if (m_pImpl->m_hListening != INVALID_HANDLE_VALUE)
    {
        CloseHandle(m_pImpl->m_hListening);
    }
}

bool CPipeListener::Open(const std::string& strName, const std::string& strGroup,
                         std::string* pstrError)
{
    if (!strGroup.empty() && !SetLogPipeWriters(strGroup, pstrError))
    {
        return false;
    }
    m_pImpl->m_strPath = "\\\\.\\pipe\\" + strName;
    if (!WidenPipePath(m_pImpl->m_strPath, &m_pImpl->m_wstrPath))
    {
        *pstrError = "bad pipe name";
        return false;
    }
    // Wine does not enforce FILE_FLAG_FIRST_PIPE_INSTANCE: two servers would then share the
    // name and each get some of the records. A waitable instance means another server is here.
    if (WaitNamedPipeW(m_pImpl->m_wstrPath.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT)
    {
        *pstrError = "another log server listens on " + m_pImpl->m_strPath;
        return false;
    }
    m_pImpl->m_hListening = CreateLogPipeInstance(m_pImpl->m_wstrPath, true);
    if (m_pImpl->m_hListening == INVALID_HANDLE_VALUE)
    {
        DWORD dwError = GetLastError();
        *pstrError = dwError == ERROR_ACCESS_DENIED
                         ? "another log server listens on " + m_pImpl->m_strPath
                         : "CreateNamedPipeW failed, err=" + std::to_string(dwError);
        return false;
    }
    return true;
}

int CPipeListener::Descriptor() const
{
    return -1;
}

void* CPipeListener::ReleaseFirstInstance()
{
    HANDLE hInstance = m_pImpl->m_hListening;
    m_pImpl->m_hListening = INVALID_HANDLE_VALUE;
    return hInstance == INVALID_HANDLE_VALUE ? nullptr : hInstance;
}

const std::string& CPipeListener::Path() const
{
    return m_pImpl->m_strPath;
}

std::unique_ptr<CPipeConnection> CPipeListener::Accept()
{
    HANDLE hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (hEvent == NULL)
    {
        return nullptr;
    }
    std::unique_ptr<CPipeConnection> pConnection;
    while (!m_pImpl->m_bStopped)
    {
        if (m_pImpl->m_hListening == INVALID_HANDLE_VALUE)
        {
            // The last instance could not be made: try again rather than stop serving.
            Sleep(10);
            m_pImpl->m_hListening = CreateLogPipeInstance(m_pImpl->m_wstrPath, false);
            continue;
        }
        HANDLE hPipe = m_pImpl->m_hListening;
        OVERLAPPED overlapped = {};
        overlapped.hEvent = hEvent;
        BOOL bConnected = ConnectNamedPipe(hPipe, &overlapped);
        DWORD dwError = bConnected ? ERROR_SUCCESS : GetLastError();
        if (dwError == ERROR_IO_PENDING)
        {
            DWORD dwIgnored = 0;
            bConnected = FinishOverlapped(hPipe, &overlapped, &dwIgnored);
            dwError = bConnected ? ERROR_SUCCESS : GetLastError();
        }
        // A client that connected, or even wrote and closed, before the call still has its
        // data waiting.
        if (!bConnected && dwError != ERROR_PIPE_CONNECTED && dwError != ERROR_NO_DATA)
        {
            DisconnectNamedPipe(hPipe);
            Sleep(10);
            continue;
        }
        if (m_pImpl->m_bStopped)
        {
            break;
        }
        // Keep an instance listening before this one is handed on, so clients rarely find
        // every instance busy.
        m_pImpl->m_hListening = CreateLogPipeInstance(m_pImpl->m_wstrPath, false);
        pConnection.reset(new CNamedPipeConnection(hPipe));
        break;
    }
    CloseHandle(hEvent);
    return pConnection;
}

void CPipeListener::Stop()
{
    m_pImpl->m_bStopped = true;
    // Wakes a thread blocked in ConnectNamedPipe.
    HANDLE hWake =
        CreateFileW(m_pImpl->m_wstrPath.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hWake != INVALID_HANDLE_VALUE)
    {
        CloseHandle(hWake);
    }
}
