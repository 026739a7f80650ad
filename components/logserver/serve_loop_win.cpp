// Windows: one thread serves every pipe instance through a completion port.
#include "serve_loop.h"

#include "pipe_server_win.h"

#include <exception>
#include <thread>

struct CServeLoop::CImpl
{
    CPipeServer server;
    std::thread thread;

    CImpl(CPipeListener* pListener, CRecordWriter* pWriter)
        : server(pListener, pWriter, CPipeServerSettings())
    {
    }
};

CServeLoop::CServeLoop(CPipeListener* pListener, CRecordWriter* pWriter)
    : m_pImpl(new CImpl(pListener, pWriter))
{
}

CServeLoop::~CServeLoop()
{
    Stop();
}

bool CServeLoop::Start(std::string* pstrError)
{
    if (!m_pImpl->server.Init(pstrError))
    {
        return false;
    }
    try
    {
        CPipeServer* pServer = &m_pImpl->server;
        m_pImpl->thread = std::thread([pServer]() { pServer->Run(); });
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
        m_pImpl->server.Stop();
        m_pImpl->thread.join();
    }
}
