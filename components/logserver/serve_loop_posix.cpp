// POSIX: one poll loop serves every connection.
#include "serve_loop.h"

#include "poll_server_posix.h"

#include <exception>
#include <sys/resource.h>
#include <thread>

namespace
{
// Descriptors the server needs besides its clients: standard streams, output, listening
// socket, wake pipe, the spare and a few for reopening the output.
const rlim_t kOwnDescriptors = 16;

// A soft limit below what the connection limit needs would shed clients the server is meant
// to serve: raise it as far as the hard limit lets.
void RaiseDescriptorLimit(size_t nConnections)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    {
        return;
    }
    rlim_t want = rlim_t(nConnections) + kOwnDescriptors;
    if (limit.rlim_max != RLIM_INFINITY && want > limit.rlim_max)
    {
        want = limit.rlim_max;
    }
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < want)
    {
        limit.rlim_cur = want;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}
} // namespace

struct CServeLoop::CImpl
{
    CPollServer server;
    std::thread thread;

    CImpl(CPipeListener* pListener, CRecordWriter* pWriter)
        : server(pListener->Descriptor(), pWriter, CPollServerSettings())
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
    RaiseDescriptorLimit(CPollServerSettings().nMaxConnections);
    if (!m_pImpl->server.Init(pstrError))
    {
        return false;
    }
    try
    {
        CPollServer* pServer = &m_pImpl->server;
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
