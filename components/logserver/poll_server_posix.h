// Serves every client of the log socket from one thread: one poll loop over the listening
// socket and all connections, non-blocking reads, a record assembler for each connection. No
// client waits for another, and no thread is made per connection.
#pragma once

#include "record_assembler.h"
#include "record_writer.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

struct CPollServerSettings
{
    // Connections served at once; more wait in the listen queue.
    size_t nMaxConnections = 1000;
    // A connection that sends nothing for this long is closed.
    int nIdleMs = 10000;
    // Takes the next client from the listening socket like accept4 (non-blocking, close on
    // exec); tests put failures in here. Empty: accept4 itself.
    std::function<int(int fdListen)> acceptClient;
    // Runs before a connection's bytes are put together; tests throw from here, as a failed
    // allocation would.
    std::function<void()> beforeFeed;
};

class CPollServer
{
public:
    CPollServer(int fdListen, CRecordWriter* pWriter, const CPollServerSettings& settings);
    ~CPollServer();
    CPollServer(const CPollServer&) = delete;
    CPollServer& operator=(const CPollServer&) = delete;

    // Makes what the loop needs beyond the listening socket.
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
    struct CClient
    {
        int fd = -1;
        Clock::time_point lastHeard;
        CRecordAssembler assembler;
    };

    int PollTimeoutMs(Clock::time_point now) const;
    // Reads what has come; false once the client is done with (closed, failed or given up).
    bool ServeClient(CClient* pClient);
    // ServeClient, with a failure to make room for the client's record giving up that client.
    bool ServeOrDrop(CClient* pClient);
    void DropClient(CClient* pClient, const char* szWhy);
    void WriteRecords();
    void CloseClient(CClient* pClient, const char* szIdleFault);
    void AcceptClients(Clock::time_point now);
    void ShedClient(int nError, Clock::time_point now);
    int AcceptOne();

    int m_fdListen;
    CRecordWriter* m_pWriter;
    CPollServerSettings m_settings;
    int m_afdWake[2] = {-1, -1};
    // Held in reserve so that a client can still be taken and closed when descriptors run out;
    // otherwise it would stay in the listen queue and wake the loop again and again.
    int m_fdSpare = -1;
    Clock::time_point m_listenPausedUntil;
    std::vector<CClient> m_clients; // in the order they were accepted
    std::vector<CAssembledRecord> m_records;
    std::atomic<bool> m_bStopped{false};
    std::atomic<size_t> m_nConnections{0};
};
