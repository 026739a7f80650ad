#include "turn_server.h"

#include "connection_server.h"
#include "fault_report.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace
{
struct CServeState
{
    std::mutex mutex;
    std::condition_variable finished;
    bool bDone = false;
};

// A client still writing when its turn is over goes on in a thread of its own, so that a slow
// client never stops the others; the next one still waits for it to the end of its turn.
void ServeInThread(std::unique_ptr<CConnectionServer> pServer,
                   std::chrono::steady_clock::time_point turnEnd, const ThreadStarter& startThread)
{
    std::shared_ptr<CServeState> pState = std::make_shared<CServeState>();
    // The thread alone owns the connection once it runs; when it cannot be started, the
    // connection is still ours and closes here.
    CConnectionServer* pRaw = pServer.get();
    startThread(
        [pRaw, pState]()
        {
            std::unique_ptr<CConnectionServer> pOwned(pRaw);
            pOwned->ServeToEnd();
            // The connection closes only once the accepting thread is let go on (at the end of
            // this function): under Wine, closing it first lost some of the next clients'
            // records.
            std::lock_guard<std::mutex> lock(pState->mutex);
            pState->bDone = true;
            pState->finished.notify_all();
        });
    pServer.release();
    std::unique_lock<std::mutex> lock(pState->mutex);
    pState->finished.wait_until(lock, turnEnd, [&pState]() { return pState->bDone; });
}
} // namespace

ThreadStarter DetachedThreadStarter()
{
    return [](std::function<void()> fn) { std::thread(std::move(fn)).detach(); };
}

void ServeInTurn(std::unique_ptr<CPipeConnection> pConnection, CRecordWriter* pWriter, int nTurnMs,
                 const ThreadStarter& startThread)
{
    try
    {
        auto turnEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTurnMs);
        // Served here while its bytes are ready: most clients have written and closed already,
        // and a thread for each of them would cost more than serving it.
        auto pServer = std::make_unique<CConnectionServer>(std::move(pConnection), pWriter);
        if (!pServer->ServeReady(nTurnMs))
        {
            ServeInThread(std::move(pServer), turnEnd, startThread);
        }
    }
    catch (const std::exception& e)
    {
        // Whatever part of the connection was made is destroyed on the way here.
        ReportClosedConnection("cannot serve a client", e.what());
    }
}
