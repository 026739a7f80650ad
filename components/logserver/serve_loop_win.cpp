// Windows: every pipe instance is taken in turn on the accepting thread; a client that dawdles
// goes on in a thread of its own.
#include "serve_loop.h"

#include "fault_report.h"
#include "turn_server.h"

#include <exception>
#include <thread>

namespace
{
// How long the next client waits for the one before it. Clients connect, write and close in
// far less, so records leave in the order their connections came; a client that dawdles
// holds up the others no longer than this.
const int kOrderWaitMs = 200;
} // namespace

struct CServeLoop::CImpl
{
    CPipeListener* pListener;
    CRecordWriter* pWriter;
    std::thread thread;
};

static void AcceptLoop(CPipeListener* pListener, CRecordWriter* pWriter)
{
    ThreadStarter startThread = DetachedThreadStarter();
    for (;;)
    {
        std::unique_ptr<CPipeConnection> pConnection;
        try
        {
            pConnection = pListener->Accept();
        }
        catch (const std::exception& e)
        {
            ReportClosedConnection("cannot take a client", e.what());
            continue;
        }
        if (!pConnection)
        {
            return;
        }
        ServeInTurn(std::move(pConnection), pWriter, kOrderWaitMs, startThread);
    }
}

CServeLoop::CServeLoop(CPipeListener* pListener, CRecordWriter* pWriter)
    : m_pImpl(new CImpl{pListener, pWriter, std::thread()})
{
}

CServeLoop::~CServeLoop()
{
    Stop();
}

bool CServeLoop::Start(std::string* pstrError)
{
    try
    {
        m_pImpl->thread = std::thread(AcceptLoop, m_pImpl->pListener, m_pImpl->pWriter);
    }
    catch (const std::exception& e)
    {
        *pstrError = std::string("cannot start serving: ") + e.what();
        return false;
    }
    return true;
}

void CServeLoop::Stop()
{
    if (m_pImpl->thread.joinable())
    {
        m_pImpl->pListener->Stop();
        m_pImpl->thread.join();
    }
}
