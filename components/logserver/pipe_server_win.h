// Serves every client of the log pipe on Windows from one thread: each pipe instance connects
// and reads overlapped, and all of them complete on one I/O completion port. No client waits
// for another, no thread is made per connection, a connection silent for too long is closed
// and at most so many are served at once; more wait for a free instance (ERROR_PIPE_BUSY,
// WaitNamedPipeW), as they wait in the listen queue on POSIX.
#pragma once

#include "pipe_listener.h"
#include "record_assembler.h"
#include "record_writer.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <vector>

struct CPipeServerSettings
{
    // Connections served at once; more wait for an instance.
    size_t nMaxConnections = 1000;
    // A connection that sends nothing for this long is closed.
    int nIdleMs = 10000;
    // Makes the next listening instance like CreateLogPipeInstance(wstrPath, false); tests put
    // failures in here. Empty: that function itself.
    std::function<HANDLE(const std::wstring& wstrPath)> createInstance;
    // Runs before a connection's bytes are put together; tests throw from here, as a failed
    // allocation would.
    std::function<void()> beforeFeed;
};

class CPipeServer
{
public:
    CPipeServer(CPipeListener* pListener, CRecordWriter* pWriter,
                const CPipeServerSettings& settings);
    ~CPipeServer();
    CPipeServer(const CPipeServer&) = delete;
    CPipeServer& operator=(const CPipeServer&) = delete;

    // Makes the completion port and takes the listener's first instance.
    bool Init(std::string* pstrError);
    // Serves until Stop. Connections still open then are finished: their unfinished records
    // are written as errors.
    void Run();
    // Ends Run soon. Callable from any thread.
    void Stop();
    // Connections being served (for tests).
    size_t ConnectionCount() const { return m_nConnections; }

private:
    using Clock = std::chrono::steady_clock;
    enum class EState
    {
        Listening, // a ConnectNamedPipe is pending
        Reading,   // connected; a read is pending or its completion is queued
        Closing    // the read is being cancelled; the instance goes once its completion comes
    };
    // Bytes one read takes: a whole record of the trace client (at most about 9 KB) comes in
    // the read after its first write.
    static const size_t kReadBytes = 16 * 1024;
    struct CInstance
    {
        HANDLE hPipe = INVALID_HANDLE_VALUE;
        OVERLAPPED overlapped;
        EState eState = EState::Listening;
        bool bConnected = false; // counted among the connections served
        // A read that completes at once queues nothing on the port (FILE_SKIP_COMPLETION_PORT_
        // ON_SUCCESS): its bytes are served in place.
        bool bSkipOnSuccess = false;
        Clock::time_point lastHeard;
        const char* szCloseFault = nullptr; // why an unfinished record is an error at the end
        CRecordAssembler assembler;
        std::list<CInstance>::iterator self;
        uint8_t abBuffer[kReadBytes];
    };

    void HandleCompletion(CInstance* pInstance, bool bOk, DWORD dwBytes, DWORD dwError);
    // Keeps one instance listening while fewer than the limit are connected.
    void EnsureListening(Clock::time_point now);
    // A listening instance made and its ConnectNamedPipe begun; false when none can be had.
    bool BeginListening(Clock::time_point now);
    // A client took pInstance: its bytes are read from its next turn on. The caller keeps an
    // instance listening (EnsureListening).
    void Connected(CInstance* pInstance);
    // Reads what is there and begins the next read; the instance may be gone on return.
    void ReadOn(CInstance* pInstance);
    // Puts the bytes of the last read together; false when the instance had to be given up.
    bool Feed(CInstance* pInstance, DWORD dwBytes);
    // The read failed with dwError: the client has gone, or the system has no room for it.
    void EndOnReadError(CInstance* pInstance, DWORD dwError);
    void BeginClose(CInstance* pInstance, const char* szFault);
    // Writes what the connection left unfinished and frees the instance.
    void Finish(CInstance* pInstance, const char* szFault);
    void Free(CInstance* pInstance);
    void CloseIdle(Clock::time_point now);
    DWORD WaitMs(Clock::time_point now) const;
    void WriteRecords();
    void Shutdown();

    CPipeListener* m_pListener;
    CRecordWriter* m_pWriter;
    CPipeServerSettings m_settings;
    std::wstring m_wstrPath;
    HANDLE m_hPort = NULL;
    HANDLE m_hNeverSignalled = NULL; // waited on for no time, see Connected
    HANDLE m_hFirstInstance = INVALID_HANDLE_VALUE;
    std::list<CInstance> m_instances; // in the order they were made, so connected in order
    CInstance* m_pListening = nullptr;
    Clock::time_point m_listenPausedUntil;
    bool m_bListenFaultReported = false;
    std::vector<CAssembledRecord> m_records;
    std::atomic<bool> m_bStopped{false};
    std::atomic<size_t> m_nConnections{0};
};
