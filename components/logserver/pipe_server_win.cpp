#include "pipe_server_win.h"

#include "fault_report.h"
#include "pipe_instance_win.h"

#include <cstdio>
#include <exception>
#include <iterator>
#include <string>

namespace
{
// Bytes served in place from one connection before the others get their turn, so that a
// client that never stops writing cannot keep the others waiting.
const size_t kMaxBytesPerTurn = 256 * 1024;
// How long listening rests when no instance can be made.
const int kListenPauseMs = 100;
// How long the end of serving waits for the cancelled operations to come back.
const DWORD kShutdownWaitMs = 2000;
// Packets taken in one round before the output is flushed and idle connections are looked at,
// so that a steady stream of them cannot put that off for ever.
const int kMaxPacketsPerRound = 1024;
const char kIdleFault[] = "silent too long before the record's NUL unit";

std::string ErrorText(DWORD dwError)
{
    return "err=" + std::to_string(dwError);
}

// Failures that mean the system has no room for one more operation, not that the client went.
bool IsResourceError(DWORD dwError)
{
    return dwError == ERROR_NO_SYSTEM_RESOURCES || dwError == ERROR_NOT_ENOUGH_MEMORY ||
           dwError == ERROR_OUTOFMEMORY || dwError == ERROR_NOT_ENOUGH_QUOTA ||
           dwError == ERROR_WORKING_SET_QUOTA || dwError == ERROR_NONPAGED_SYSTEM_RESOURCES ||
           dwError == ERROR_PAGED_SYSTEM_RESOURCES;
}
} // namespace

CPipeServer::CPipeServer(CPipeListener* pListener, CRecordWriter* pWriter,
                         const CPipeServerSettings& settings)
    : m_pListener(pListener), m_pWriter(pWriter), m_settings(settings)
{
    if (!m_settings.createInstance)
    {
        m_settings.createInstance = [](const std::wstring& wstrPath)
        { return CreateLogPipeInstance(wstrPath, false); };
    }
}

CPipeServer::~CPipeServer()
{
    if (m_hFirstInstance != INVALID_HANDLE_VALUE)
    {
        CloseHandle(m_hFirstInstance);
    }
    if (m_hPort != NULL)
    {
        CloseHandle(m_hPort);
    }
    if (m_hNeverSignalled != NULL)
    {
        CloseHandle(m_hNeverSignalled);
    }
}

bool CPipeServer::Init(std::string* pstrError)
{
    if (!WidenPipePath(m_pListener->Path(), &m_wstrPath))
    {
        *pstrError = "bad pipe name " + m_pListener->Path();
        return false;
    }
    m_hPort = CreateIoCompletionPort(INVALID_HANDLE_VALUE, NULL, 0, 1);
    if (m_hPort == NULL)
    {
        *pstrError = "CreateIoCompletionPort failed, " + ErrorText(GetLastError());
        return false;
    }
    m_hNeverSignalled = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (m_hNeverSignalled == NULL)
    {
        *pstrError = "CreateEvent failed, " + ErrorText(GetLastError());
        return false;
    }
    void* pFirst = m_pListener->ReleaseFirstInstance();
    m_hFirstInstance = pFirst != nullptr ? static_cast<HANDLE>(pFirst) : INVALID_HANDLE_VALUE;
    return true;
}

void CPipeServer::Stop()
{
    m_bStopped = true;
    // A packet without an operation wakes the wait.
    PostQueuedCompletionStatus(m_hPort, 0, 0, NULL);
}

void CPipeServer::WriteRecords()
{
    // Flushed once a round, before the loop waits again.
    for (const CAssembledRecord& record : m_records)
    {
        m_pWriter->WriteBuffered(record);
    }
    m_records.clear();
}

bool CPipeServer::BeginListening(Clock::time_point now)
{
    HANDLE hPipe = m_hFirstInstance;
    m_hFirstInstance = INVALID_HANDLE_VALUE;
    if (hPipe == INVALID_HANDLE_VALUE)
    {
        hPipe = m_settings.createInstance(m_wstrPath);
    }
    DWORD dwError = ERROR_SUCCESS;
    CInstance* pInstance = nullptr;
    if (hPipe == INVALID_HANDLE_VALUE)
    {
        dwError = GetLastError();
    }
    else
    {
        try
        {
            m_instances.emplace_back();
            pInstance = &m_instances.back();
            pInstance->self = std::prev(m_instances.end());
            pInstance->hPipe = hPipe;
        }
        catch (const std::bad_alloc&)
        {
            CloseHandle(hPipe);
            dwError = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    if (pInstance != nullptr &&
        CreateIoCompletionPort(hPipe, m_hPort, reinterpret_cast<ULONG_PTR>(pInstance), 0) == NULL)
    {
        dwError = GetLastError();
        Free(pInstance);
        pInstance = nullptr;
    }
    if (pInstance == nullptr)
    {
        // No client is concerned yet: they wait for an instance (or find the pipe missing and
        // drop their records for a while). Said once until an instance can be made again.
        if (!m_bListenFaultReported)
        {
            fprintf(stderr, "vendrel-logd: cannot make a pipe instance: %s; trying again\n",
                    ErrorText(dwError).c_str());
            fflush(stderr);
            m_bListenFaultReported = true;
        }
        m_listenPausedUntil = now + std::chrono::milliseconds(kListenPauseMs);
        return false;
    }
    m_bListenFaultReported = false;
    pInstance->bSkipOnSuccess =
        SetFileCompletionNotificationModes(hPipe, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS) != FALSE;
    ZeroMemory(&pInstance->overlapped, sizeof(pInstance->overlapped));
    m_pListening = pInstance;
    if (ConnectNamedPipe(hPipe, &pInstance->overlapped))
    {
        // Completed at once: its packet is queued unless such completions skip the port.
        if (pInstance->bSkipOnSuccess)
        {
            Connected(pInstance);
        }
        return true;
    }
    dwError = GetLastError();
    if (dwError == ERROR_IO_PENDING)
    {
        return true;
    }
    // A client that connected, or even wrote and closed, between the instance's making and
    // this call: no packet comes for it, and its data is there to read.
    if (dwError == ERROR_PIPE_CONNECTED || dwError == ERROR_NO_DATA)
    {
        Connected(pInstance);
        return true;
    }
    m_pListening = nullptr;
    Free(pInstance);
    fprintf(stderr, "vendrel-logd: ConnectNamedPipe: %s\n", ErrorText(dwError).c_str());
    fflush(stderr);
    m_listenPausedUntil = now + std::chrono::milliseconds(kListenPauseMs);
    return false;
}

void CPipeServer::EnsureListening(Clock::time_point now)
{
    while (!m_bStopped && m_pListening == nullptr && m_nConnections < m_settings.nMaxConnections &&
           m_listenPausedUntil <= now)
    {
        if (!BeginListening(now))
        {
            return;
        }
    }
}

void CPipeServer::Connected(CInstance* pInstance)
{
    if (m_pListening == pInstance)
    {
        m_pListening = nullptr;
    }
    pInstance->eState = EState::Reading;
    pInstance->bConnected = true;
    pInstance->lastHeard = Clock::now();
    m_nConnections++;
    // This client may be the process whose last connection's bytes are still on their way to
    // the port: a read that had to wait completes on this thread first (Wine delivers it
    // there before it queues the packet), and a wait of no time lets that happen. Then this
    // connection's first read comes in turn behind it, so one process's records keep their
    // order. A connection's bytes are read before the next instance listens, for the same
    // reason.
    WaitForSingleObject(m_hNeverSignalled, 0);
    if (!PostQueuedCompletionStatus(m_hPort, 0, reinterpret_cast<ULONG_PTR>(pInstance),
                                    &pInstance->overlapped))
    {
        ReadOn(pInstance);
    }
}

bool CPipeServer::Feed(CInstance* pInstance, DWORD dwBytes)
{
    try
    {
        if (m_settings.beforeFeed)
        {
            m_settings.beforeFeed();
        }
        pInstance->assembler.Feed(pInstance->abBuffer, dwBytes, &m_records);
        WriteRecords();
        return true;
    }
    catch (const std::exception& e)
    {
        // No memory for this client's record: it alone is given up.
        m_records.clear();
        ReportClosedConnection("cannot serve a client", e.what());
        pInstance->assembler = CRecordAssembler();
        Free(pInstance);
        return false;
    }
}

void CPipeServer::ReadOn(CInstance* pInstance)
{
    size_t nServed = 0;
    for (;;)
    {
        if (nServed >= kMaxBytesPerTurn)
        {
            // The others first: a packet of no bytes brings this connection back in turn.
            if (PostQueuedCompletionStatus(m_hPort, 0, reinterpret_cast<ULONG_PTR>(pInstance),
                                           &pInstance->overlapped))
            {
                return;
            }
            EndOnReadError(pInstance, GetLastError());
            return;
        }
        ZeroMemory(&pInstance->overlapped, sizeof(pInstance->overlapped));
        BOOL bDone = ReadFile(pInstance->hPipe, pInstance->abBuffer, DWORD(kReadBytes), NULL,
                              &pInstance->overlapped);
        DWORD dwError = bDone ? ERROR_SUCCESS : GetLastError();
        if (dwError == ERROR_IO_PENDING || (bDone && !pInstance->bSkipOnSuccess))
        {
            return; // its packet comes
        }
        if (!bDone)
        {
            EndOnReadError(pInstance, dwError);
            return;
        }
        DWORD dwBytes = 0;
        GetOverlappedResult(pInstance->hPipe, &pInstance->overlapped, &dwBytes, FALSE);
        if (dwBytes > 0)
        {
            pInstance->lastHeard = Clock::now();
            if (!Feed(pInstance, dwBytes))
            {
                return;
            }
        }
        nServed += dwBytes;
    }
}

void CPipeServer::EndOnReadError(CInstance* pInstance, DWORD dwError)
{
    if (IsResourceError(dwError))
    {
        ReportClosedConnection("cannot serve a client", ErrorText(dwError).c_str());
    }
    // Otherwise the client has closed (ERROR_BROKEN_PIPE) or the pipe failed: both end it.
    Finish(pInstance, nullptr);
}

void CPipeServer::HandleCompletion(CInstance* pInstance, bool bOk, DWORD dwBytes, DWORD dwError)
{
    switch (pInstance->eState)
    {
    case EState::Listening:
        if (bOk || dwError == ERROR_PIPE_CONNECTED || dwError == ERROR_NO_DATA)
        {
            Connected(pInstance);
            EnsureListening(Clock::now());
            return;
        }
        // The listening instance failed: another is made after a pause.
        fprintf(stderr, "vendrel-logd: ConnectNamedPipe: %s\n", ErrorText(dwError).c_str());
        fflush(stderr);
        Free(pInstance);
        m_listenPausedUntil = Clock::now() + std::chrono::milliseconds(kListenPauseMs);
        return;
    case EState::Reading:
        // Bytes of a message longer than the read also count (not expected from a byte-mode
        // read, but harmless).
        if (bOk || dwError == ERROR_MORE_DATA)
        {
            if (dwBytes > 0)
            {
                pInstance->lastHeard = Clock::now();
                if (!Feed(pInstance, dwBytes))
                {
                    return;
                }
            }
            ReadOn(pInstance);
            return;
        }
        EndOnReadError(pInstance, dwError);
        return;
    case EState::Closing:
        // A read that completed before it could be cancelled still counts.
        if ((bOk || dwError == ERROR_MORE_DATA) && dwBytes > 0 && !Feed(pInstance, dwBytes))
        {
            return;
        }
        Finish(pInstance, pInstance->szCloseFault);
        return;
    }
}

void CPipeServer::BeginClose(CInstance* pInstance, const char* szFault)
{
    pInstance->eState = EState::Closing;
    pInstance->szCloseFault = szFault;
    // The cancelled operation's packet comes back, and only then is its OVERLAPPED free. When
    // there is nothing to cancel the packet is on its way already.
    CancelIoEx(pInstance->hPipe, &pInstance->overlapped);
}

void CPipeServer::Finish(CInstance* pInstance, const char* szFault)
{
    size_t nFirst = m_records.size();
    pInstance->assembler.Finish(&m_records);
    if (szFault != nullptr)
    {
        for (size_t i = nFirst; i < m_records.size(); i++)
        {
            m_records[i].strFault = szFault;
        }
    }
    WriteRecords();
    Free(pInstance);
}

void CPipeServer::Free(CInstance* pInstance)
{
    if (pInstance->bConnected)
    {
        m_nConnections--;
    }
    if (m_pListening == pInstance)
    {
        m_pListening = nullptr;
    }
    // Closing the server's end tells the client at once: its next write fails.
    DisconnectNamedPipe(pInstance->hPipe);
    CloseHandle(pInstance->hPipe);
    m_instances.erase(pInstance->self);
}

void CPipeServer::CloseIdle(Clock::time_point now)
{
    std::chrono::milliseconds idle(m_settings.nIdleMs);
    for (CInstance& instance : m_instances)
    {
        if (instance.eState == EState::Reading && now - instance.lastHeard >= idle)
        {
            BeginClose(&instance, kIdleFault);
        }
    }
}

DWORD CPipeServer::WaitMs(Clock::time_point now) const
{
    Clock::time_point next = Clock::time_point::max();
    for (const CInstance& instance : m_instances)
    {
        if (instance.eState == EState::Reading)
        {
            Clock::time_point deadline =
                instance.lastHeard + std::chrono::milliseconds(m_settings.nIdleMs);
            next = deadline < next ? deadline : next;
        }
    }
    if (m_pListening == nullptr && m_listenPausedUntil > now && m_listenPausedUntil < next)
    {
        next = m_listenPausedUntil;
    }
    if (next == Clock::time_point::max())
    {
        return INFINITE;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    // Rounded up, so that the loop does not wake just before a deadline and spin.
    return left < 0 ? 0 : DWORD(left) + 1;
}

void CPipeServer::Run()
{
    for (;;)
    {
        // Records that listening or closing wrote go out before the loop waits again.
        Clock::time_point now = Clock::now();
        CloseIdle(now);
        EnsureListening(now);
        m_pWriter->Flush();
        if (m_bStopped)
        {
            break;
        }
        // Every packet that is there is taken before the output is flushed and the idle
        // connections are looked at.
        DWORD dwWaitMs = WaitMs(Clock::now());
        for (int nPackets = 0; nPackets < kMaxPacketsPerRound; nPackets++)
        {
            DWORD dwBytes = 0;
            ULONG_PTR uKey = 0;
            OVERLAPPED* pOverlapped = NULL;
            BOOL bOk = GetQueuedCompletionStatus(m_hPort, &dwBytes, &uKey, &pOverlapped, dwWaitMs);
            DWORD dwError = bOk ? ERROR_SUCCESS : GetLastError();
            if (pOverlapped == NULL)
            {
                if (!bOk && dwError != WAIT_TIMEOUT)
                {
                    fprintf(stderr, "vendrel-logd: GetQueuedCompletionStatus: %s\n",
                            ErrorText(dwError).c_str());
                    Sleep(kListenPauseMs);
                }
                break; // the time is up, or Stop woke the loop
            }
            HandleCompletion(reinterpret_cast<CInstance*>(uKey), bOk != FALSE, dwBytes, dwError);
            dwWaitMs = 0;
        }
    }
    Shutdown();
}

void CPipeServer::Shutdown()
{
    for (CInstance& instance : m_instances)
    {
        if (instance.eState != EState::Closing)
        {
            BeginClose(&instance, nullptr);
        }
    }
    m_pListening = nullptr;
    DWORD dwStart = GetTickCount();
    while (!m_instances.empty())
    {
        DWORD dwSpent = GetTickCount() - dwStart;
        if (dwSpent >= kShutdownWaitMs)
        {
            break;
        }
        DWORD dwBytes = 0;
        ULONG_PTR uKey = 0;
        OVERLAPPED* pOverlapped = NULL;
        BOOL bOk = GetQueuedCompletionStatus(m_hPort, &dwBytes, &uKey, &pOverlapped,
                                             kShutdownWaitMs - dwSpent);
        if (pOverlapped != NULL)
        {
            HandleCompletion(reinterpret_cast<CInstance*>(uKey), bOk != FALSE, dwBytes,
                             bOk ? ERROR_SUCCESS : GetLastError());
        }
    }
    if (!m_instances.empty())
    {
        // Operations that never came back may still write into their instances: those stay
        // allocated for the rest of the process, with their records written.
        fprintf(stderr, "vendrel-logd: %u connections did not end in time\n",
                unsigned(m_instances.size()));
        std::list<CInstance>* pAbandoned = new std::list<CInstance>();
        for (CInstance& instance : m_instances)
        {
            instance.assembler.Finish(&m_records);
            CloseHandle(instance.hPipe);
        }
        pAbandoned->splice(pAbandoned->end(), m_instances);
        WriteRecords();
    }
    m_pWriter->Flush();
    m_nConnections = 0;
}
