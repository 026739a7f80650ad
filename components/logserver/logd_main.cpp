// vendrel-logd: receives LOG_WRITE records on the log pipe and writes one line a record.
#include "connection_server.h"
#include "logd_options.h"
#include "pipe_listener.h"
#include "record_writer.h"
#include "stop_signal.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

static const char kUsage[] = "usage: vendrel-logd [--pipe NAME] [--output FILE] "
                             "[--format text|jsonl]\n";

// How long the next client waits for the one before it. Clients connect, write and close in
// far less, so records leave in the order their connections came; a client that dawdles
// holds up the others no longer than this.
static const int kOrderWaitMs = 200;

struct CServeState
{
    std::mutex mutex;
    std::condition_variable finished;
    bool bDone = false;
};

// A client still writing when its turn is over goes on in a thread of its own, so that a slow
// client never stops the others; the next one still waits for it to the end of its turn.
static void ServeInThread(std::unique_ptr<CConnectionServer> pServer,
                          std::chrono::steady_clock::time_point turnEnd)
{
    std::shared_ptr<CServeState> pState = std::make_shared<CServeState>();
    CConnectionServer* pRaw = pServer.release();
    std::thread(
        [pRaw, pState]()
        {
            std::unique_ptr<CConnectionServer> pOwned(pRaw);
            pOwned->ServeToEnd();
            // The connection closes only once the accepting thread is let go on (at the end of
            // this lambda): under Wine, closing it first lost some of the next clients' records.
            std::lock_guard<std::mutex> lock(pState->mutex);
            pState->bDone = true;
            pState->finished.notify_all();
        })
        .detach();
    std::unique_lock<std::mutex> lock(pState->mutex);
    pState->finished.wait_until(lock, turnEnd, [&pState]() { return pState->bDone; });
}

static void AcceptLoop(CPipeListener* pListener, CRecordWriter* pWriter)
{
    for (;;)
    {
        std::unique_ptr<CPipeConnection> pConnection = pListener->Accept();
        if (!pConnection)
        {
            return;
        }
        auto turnEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(kOrderWaitMs);
        // Served here while its bytes are ready: most clients have written and closed already,
        // and a thread for each of them would cost more than serving it.
        auto pServer = std::make_unique<CConnectionServer>(std::move(pConnection), pWriter);
        if (!pServer->ServeReady(kOrderWaitMs))
        {
            ServeInThread(std::move(pServer), turnEnd);
        }
    }
}

int main(int argc, char** argv)
{
    InstallStopSignalHandlers();
    CLogdOptions options;
    std::string strError;
    if (!ParseLogdOptions(argc, argv, &options, &strError))
    {
        fprintf(stderr, "vendrel-logd: %s\n%s", strError.c_str(), kUsage);
        return 2;
    }
    FILE* pOut = stdout;
    if (!options.strOutput.empty())
    {
        pOut = fopen(options.strOutput.c_str(), "ab");
        if (pOut == NULL)
        {
            fprintf(stderr, "vendrel-logd: cannot open %s\n", options.strOutput.c_str());
            return 1;
        }
    }
    else
    {
        UseBinaryStdout();
    }
    // Both live to the end of the process: detached client threads may still be writing.
    static CRecordWriter* s_pWriter = new CRecordWriter(pOut, options.eFormat);
    CPipeListener listener;
    if (!listener.Open(options.strPipe, &strError))
    {
        fprintf(stderr, "vendrel-logd: %s\n", strError.c_str());
        return 1;
    }
    fprintf(stderr, "vendrel-logd: listening on %s\n", listener.Path().c_str());
    fflush(stderr);
    std::thread acceptor(AcceptLoop, &listener, s_pWriter);
    WaitForStopSignal();
    listener.Stop();
    acceptor.join();
    fflush(pOut);
    return 0;
}
